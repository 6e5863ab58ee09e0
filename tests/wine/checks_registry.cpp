// Versions, counts and identity queries on a machine with no cards, over
// Wine's real SetupAPI: nothing is found, and the version gate's message box
// does not end or block the process.
#include <string>

#include "harness.h"

namespace {

using Query = uint32_t(QUELT_CALL*)(uint32_t, uint32_t*);

void ExpectQuery(const char* name, Query query, uint32_t position, bool withPointer, uint32_t want,
                 const char* file, int line) {
    uint32_t out = 0xA5A5A5A5u;
    const uint32_t got = query(position, withPointer ? &out : nullptr);
    if (got != want) {
        wine::Fail(file, line,
                   std::string(name) + "(" + std::to_string(position) + (withPointer ? ", &out" : ", null") +
                       ") returned " + wine::Show(got) + ", expected " + wine::Show(want));
    }
    if (withPointer && out != 0xA5A5A5A5u)
        wine::Fail(file, line, std::string(name) + " wrote its output on failure");
}

}  // namespace

WINE_CHECK(InterfaceVersionsAre318) {
    QUELT_REQUIRE_EXPORT(v952, OX952_InterfaceVersion);
    QUELT_REQUIRE_EXPORT(v9162, OX9162_InterfaceVersion);
    QUELT_REQUIRE_EXPORT(vEp, EP4GXA_InterfaceVersion);
    EXPECT_EQ(v952(), 318u);
    EXPECT_EQ(v9162(), 318u);
    EXPECT_EQ(vEp(), 318u);
}

WINE_CHECK(NoCardsAreCounted) {
    QUELT_REQUIRE_EXPORT(c952, OX952_CardsInSystem);
    QUELT_REQUIRE_EXPORT(c9162, OX9162_CardsInSystem);
    QUELT_REQUIRE_EXPORT(cEp, EP4GXA_CardsInSystem);
    for (auto count : {c952, c9162, cEp}) {
        uint32_t n = 77;
        EXPECT_EQ(count(&n), 0u);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(count(nullptr), 0x400u);
    }
}

// The first version query finds no card: the placeholder 100 is stored and
// final, the message box is shown once, and the process carries on.
WINE_CHECK(DriverVersionWithoutCards) {
    QUELT_REQUIRE_EXPORT(d952, OX952_DriverVersion);
    QUELT_REQUIRE_EXPORT(d9162, OX9162_DriverVersion);
    QUELT_REQUIRE_EXPORT(dEp, EP4GXA_DriverVersion);
    QUELT_REQUIRE_EXPORT(oxVersion, OxDriverVersion);
    for (auto version : {d952, d9162, dEp}) {
        uint32_t v = 0;
        EXPECT_EQ(version(&v), 0x80000000u);
        EXPECT_EQ(v, 100u);
        EXPECT_EQ(version(nullptr), 0x400u);
    }
    EXPECT_EQ(oxVersion(), 100u);
}

WINE_CHECK(IdentityQueriesWithoutCards) {
    QUELT_REQUIRE_EXPORT(did952, OX952_Card_DID);
    QUELT_REQUIRE_EXPORT(bus952, OX952_Card_BUS);
    QUELT_REQUIRE_EXPORT(slot952, OX952_Card_SLOT);
    QUELT_REQUIRE_EXPORT(did9162, OX9162_Card_DID);
    QUELT_REQUIRE_EXPORT(bus9162, OX9162_Card_BUS);
    QUELT_REQUIRE_EXPORT(slot9162, OX9162_Card_SLOT);
    QUELT_REQUIRE_EXPORT(didEp, EP4GXA_Card_DID);
    QUELT_REQUIRE_EXPORT(busEp, EP4GXA_Card_BUS);
    QUELT_REQUIRE_EXPORT(slotEp, EP4GXA_Card_SLOT);
    QUELT_REQUIRE_EXPORT(idEp, EP4GXA_Card_ID);
    QUELT_REQUIRE_EXPORT(serEp, EP4GXA_Card_SerNr);

    // Each query's order of checks shows with a null pointer: at position 40
    // and at a position without a card.
    const struct {
        const char* name;
        Query query;
        uint32_t badPositionNull, emptyPositionNull;
    } queries[] = {
        {"OX952_Card_DID", did952, 0x400, 0x400}, {"OX952_Card_BUS", bus952, 2, 0x400},
        {"OX952_Card_SLOT", slot952, 2, 0x400},   {"OX9162_Card_DID", did9162, 2, 2},
        {"OX9162_Card_BUS", bus9162, 2, 2},       {"OX9162_Card_SLOT", slot9162, 2, 2},
        {"EP4GXA_Card_DID", didEp, 2, 2},         {"EP4GXA_Card_BUS", busEp, 2, 2},
        {"EP4GXA_Card_SLOT", slotEp, 2, 2},       {"EP4GXA_Card_ID", idEp, 2, 0x400},
        {"EP4GXA_Card_SerNr", serEp, 2, 0x400},
    };
    for (const auto& q : queries) {
        ExpectQuery(q.name, q.query, 40, false, q.badPositionNull, __FILE__, __LINE__);
        ExpectQuery(q.name, q.query, 0, false, q.emptyPositionNull, __FILE__, __LINE__);
        ExpectQuery(q.name, q.query, 0, true, 2, __FILE__, __LINE__);
        ExpectQuery(q.name, q.query, 31, true, 2, __FILE__, __LINE__);
        ExpectQuery(q.name, q.query, 0xFFFFFFFFu, true, 2, __FILE__, __LINE__);
    }
}
