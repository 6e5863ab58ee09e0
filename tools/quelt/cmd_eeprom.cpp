// The serial EEPROM of OX952 and OX9162 cards: 64 words of 16 bits. Reading
// never changes the part; every command that writes says so by its name, and
// load shows what it would change and asks first.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "commands.h"

namespace quelt_tool {
namespace {

constexpr uint32_t kWords = 64;

CardRef EepromCard(const CardOptions& o) {
    CardRef card = ParseCard(o.family, o.position);
    if (!card.family->eepromRead) Usage(std::string(card.family->name) + " cards have no serial EEPROM");
    return card;
}

// Writes use a normal connection unless told otherwise: it is refused while
// any other program holds the card, so the tool never drives the EEPROM's
// lines while an application may be in the middle of its own frame.
Kind WriteKind(const CardOptions& o) {
    return o.kind.empty() ? Kind::normal : ParseKind(o.kind);
}
Kind ReadKind(const CardOptions& o) {
    return o.kind.empty() ? Kind::diagnostic : ParseKind(o.kind);
}

uint32_t ParseWord(const std::string& text) {
    return static_cast<uint32_t>(ParseNumber(text, kWords - 1, "word"));
}

std::vector<uint16_t> ReadAll(const CardRef& card) {
    std::vector<uint16_t> words(kWords);
    for (uint32_t w = 0; w < kWords; ++w)
        Check(card.family->eepromRead(card.position, w, &words[w]),
              card.Name() + ": reading EEPROM word " + std::to_string(w));
    return words;
}

// 8 rows of 8 words, each row led by its first word's number; the file
// format of save and load too.
std::string DumpText(const std::vector<uint16_t>& words) {
    std::string text;
    char cell[16];
    for (uint32_t w = 0; w < words.size(); ++w) {
        if (w % 8 == 0) {
            std::snprintf(cell, sizeof cell, "%02u:", w);
            text += cell;
        }
        std::snprintf(cell, sizeof cell, " %04X", words[w]);
        text += cell;
        if (w % 8 == 7) text += "\n";
    }
    return text;
}

std::vector<uint16_t> ParseDump(const std::string& file) {
    std::ifstream in(file);
    if (!in) Fail("cannot read " + file);
    std::vector<uint16_t> words;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string label;
        fields >> label;
        const std::string expected = (words.size() < 10 ? "0" : "") + std::to_string(words.size()) + ":";
        auto bad = [&](const std::string& why) {
            Fail(file + " line " + std::to_string(lineNo) + ": " + why +
                 " (expected 8 rows 'NN: XXXX ...' of 8 hex words, as 'quelt eeprom save' writes)");
        };
        if (label != expected) bad("row label '" + label + "', expected '" + expected + "'");
        std::string cell;
        int n = 0;
        while (fields >> cell) {
            if (cell.size() != 4 || cell.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                bad("'" + cell + "' is not a 4-digit hex word");
            words.push_back(static_cast<uint16_t>(std::stoul(cell, nullptr, 16)));
            ++n;
        }
        if (n != 8 || words.size() > kWords) bad(std::to_string(n) + " words in the row");
    }
    if (words.size() != kWords) Fail(file + ": " + std::to_string(words.size()) + " words, expected 64");
    return words;
}

// Reads the word back: the library does not report a programming cycle that
// never completed, so a write is only done when the part shows the value.
void Verify(const CardRef& card, uint32_t word, uint16_t expected) {
    uint16_t now = 0;
    Check(card.family->eepromRead(card.position, word, &now),
          card.Name() + ": reading back word " + std::to_string(word));
    if (now != expected)
        Fail(card.Name() + ": EEPROM word " + std::to_string(word) + " reads " + Hex(now, 4) +
             " after writing " + Hex(expected, 4) + ": the part did not take it");
}

bool Confirm(const std::string& question) {
    if (!IsTerminal(stdin)) Usage("not asking on a non-terminal: give --yes to write without asking");
    std::cout << question << " [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int CmdEepromRead(const EepromOptions& o) {
    CardRef card = EepromCard(o.card);
    OpenCard open(card, ReadKind(o.card), false);
    if (!o.word.empty()) {
        uint32_t word = ParseWord(o.word);
        uint16_t v = 0;
        Check(card.family->eepromRead(card.position, word, &v),
              card.Name() + ": reading EEPROM word " + o.word);
        if (o.card.json)
            PrintJson(
                {{"family", card.family->name}, {"position", card.position}, {"word", word}, {"value", v}});
        else
            std::cout << Hex(v, 4) << "\n";
        return kExitOk;
    }
    std::vector<uint16_t> words = ReadAll(card);
    if (o.card.json)
        PrintJson({{"family", card.family->name}, {"position", card.position}, {"words", words}});
    else
        std::cout << DumpText(words);
    return kExitOk;
}

int CmdEepromWrite(const EepromOptions& o) {
    CardRef card = EepromCard(o.card);
    uint32_t word = ParseWord(o.word);
    auto value = static_cast<uint16_t>(ParseNumber(o.value, 0xFFFF, "value"));
    OpenCard open(card, WriteKind(o.card), false);
    Check(card.family->eepromWrite(card.position, word, value),
          card.Name() + ": writing EEPROM word " + o.word);
    Verify(card, word, value);
    if (o.card.json) {
        PrintJson(
            {{"family", card.family->name}, {"position", card.position}, {"word", word}, {"value", value}});
        return kExitOk;
    }
    std::cout << "EEPROM word " << word << " of " << card.Name() << " is " << Hex(value, 4) << "\n";
    return kExitOk;
}

int CmdEepromErase(const EepromOptions& o) {
    CardRef card = EepromCard(o.card);
    uint32_t word = ParseWord(o.word);
    OpenCard open(card, WriteKind(o.card), false);
    Check(card.family->eepromErase(card.position, word), card.Name() + ": erasing EEPROM word " + o.word);
    Verify(card, word, 0xFFFF);
    if (o.card.json) {
        PrintJson(
            {{"family", card.family->name}, {"position", card.position}, {"word", word}, {"value", 0xFFFF}});
        return kExitOk;
    }
    std::cout << "EEPROM word " << word << " of " << card.Name() << " erased (0xFFFF)\n";
    return kExitOk;
}

int CmdEepromSave(const EepromOptions& o) {
    CardRef card = EepromCard(o.card);
    OpenCard open(card, ReadKind(o.card), false);
    std::vector<uint16_t> words = ReadAll(card);
    std::ofstream out(o.file);
    out << "# EEPROM of " << card.Name() << ", saved " << Timestamp() << "\n" << DumpText(words);
    out.close();
    if (!out) Fail("cannot write " + o.file);
    if (o.card.json) {
        PrintJson(
            {{"family", card.family->name}, {"position", card.position}, {"file", o.file}, {"words", words}});
        return kExitOk;
    }
    std::cout << "saved the 64 EEPROM words of " << card.Name() << " to " << o.file << "\n";
    return kExitOk;
}

int CmdEepromLoad(const EepromOptions& o) {
    CardRef card = EepromCard(o.card);
    std::vector<uint16_t> wanted = ParseDump(o.file);
    if (o.card.json && !o.yes) Usage("--json needs --yes: no question can be asked between JSON output");
    OpenCard open(card, WriteKind(o.card), false);
    std::vector<uint16_t> now = ReadAll(card);
    std::vector<uint32_t> changes;
    json diff = json::array();
    for (uint32_t w = 0; w < kWords; ++w) {
        if (now[w] == wanted[w]) continue;
        changes.push_back(w);
        diff.push_back({{"word", w}, {"from", now[w]}, {"to", wanted[w]}});
        // The changes come first, so they are seen before the question.
        if (!o.card.json)
            std::cout << "word " << (w < 10 ? " " : "") << w << ": " << Hex(now[w], 4) << " -> "
                      << Hex(wanted[w], 4) << "\n";
    }
    auto report = [&](bool written) {
        if (o.card.json)
            PrintJson({{"family", card.family->name},
                       {"position", card.position},
                       {"file", o.file},
                       {"changes", diff},
                       {"written", written}});
    };
    if (changes.empty()) {
        report(false);
        if (!o.card.json)
            std::cout << "the EEPROM of " << card.Name() << " already holds " << o.file
                      << ": nothing to write\n";
        return kExitOk;
    }
    if (!o.yes &&
        !Confirm("write these " + std::to_string(changes.size()) + " word(s) to " + card.Name() + "?")) {
        std::cout << "nothing written\n";
        return kExitFailure;
    }
    for (uint32_t w : changes)
        Check(card.family->eepromWrite(card.position, w, wanted[w]),
              card.Name() + ": writing EEPROM word " + std::to_string(w));
    std::vector<uint16_t> after = ReadAll(card);
    for (uint32_t w = 0; w < kWords; ++w)
        if (after[w] != wanted[w])
            Fail(card.Name() + ": verify failed: word " + std::to_string(w) + " reads " + Hex(after[w], 4) +
                 ", the file has " + Hex(wanted[w], 4));
    report(true);
    if (!o.card.json)
        std::cout << "wrote " << changes.size() << " word(s) to " << card.Name() << "; all 64 verified\n";
    return kExitOk;
}

}  // namespace quelt_tool
