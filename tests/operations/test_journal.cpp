// The journal's rules: an entry applies to an enclosure only when serial and
// chip agree and every unit of its flash is what the entry's write, cut off
// at some moment, leaves; an entry that is not whole applies to nothing, and
// a closed one is gone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "operations/journal.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kLength = 8 * kJournalUnit;
constexpr ChipIdValue kChip = 0x000A;

struct Images {
    std::vector<uint8_t> before = std::vector<uint8_t>(kLength), after = std::vector<uint8_t>(kLength);
    Images() {
        for (uint32_t i = 0; i < kLength; ++i) {
            before[i] = static_cast<uint8_t>(i * 7 + 1) | 0x01;
            after[i] = static_cast<uint8_t>(i * 13 + 2) & 0xFE;   // never equal to before, never 0xFF
        }
    }
};

struct Case {
    const char* what;
    std::string identity;   // empty: the entry's own
    ChipIdValue chip;       // 0: the entry's own
    std::function<void(std::vector<uint8_t>& flash, const Images&)> cut;
    std::function<void(const std::string& entryFile)> afterCreate;
    bool matches;
    std::string enclosure = {};   // the USB device looked at; empty: the entry's own
};

void Fill(std::vector<uint8_t>& flash, uint32_t from, uint32_t to, uint8_t value) {
    std::fill(flash.begin() + from, flash.begin() + to, value);
}
void CopyFrom(std::vector<uint8_t>& flash, const std::vector<uint8_t>& image, uint32_t from,
              uint32_t to) {
    std::copy(image.begin() + from, image.begin() + to, flash.begin() + from);
}

TEST(Journal, AnEntryAppliesOnlyToTheFlashItsCutOffWriteLeaves) {
    const std::vector<Case> cases = {
        {"untouched", {}, {}, [](auto&, auto&) {}, {}, true},
        {"written whole", {}, {}, [](auto& f, auto& i) { f = i.after; }, {}, true},
        {"erased whole", {}, {}, [](auto& f, auto&) { Fill(f, 0, kLength, 0xFF); }, {}, true},
        {"cut while programming: three units new, the rest erased", {}, {},
         [](auto& f, auto& i) {
             Fill(f, 0, kLength, 0xFF);
             CopyFrom(f, i.after, 0, 3 * kJournalUnit + 100);
         },
         {}, true},
        {"cut while erasing: one unit half erased", {}, {},
         [](auto& f, auto&) { Fill(f, kJournalUnit, kJournalUnit + 1000, 0xFF); }, {}, true},
        {"a byte neither old, new nor erased", {}, {},
         [](auto& f, auto& i) { f[5 * kJournalUnit + 3] = i.after[5 * kJournalUnit + 3] ^ 0x80; },
         {}, false},
        {"one unit mixes old and new bytes", {}, {},
         [](auto& f, auto& i) { CopyFrom(f, i.after, 2 * kJournalUnit, 2 * kJournalUnit + 10); },
         {}, false},
        {"another enclosure's serial", "SERIAL2", {}, [](auto&, auto&) {}, {}, false},
        {"the serial as another system spells it", "serial1", {}, [](auto&, auto&) {}, {}, true},
        {"erased whole, on another USB device with the serial", {}, {},
         [](auto& f, auto&) { Fill(f, 0, kLength, 0xFF); }, {}, false, "usb port-2"},
        {"cut while programming, on another USB device", {}, {},
         [](auto& f, auto& i) {
             Fill(f, 0, kLength, 0xFF);
             CopyFrom(f, i.after, 0, kJournalUnit);
         },
         {}, true, "usb port-2"},
        {"another chip revision", {}, 0x090A, [](auto&, auto&) {}, {}, false},
        {"an entry that is not whole", {}, {}, [](auto&, auto&) {},
         [](const std::string& file) {
             std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
             io.seekp(-1, std::ios::end);
             io.put('\x5A');
         },
         false},
    };
    const fs::path folder =
        fs::temp_directory_path() / ("qks-journal-" + std::to_string(::getpid()));
    const Images images;
    for (const auto& c : cases) {
        fs::remove_all(folder);
        const Journal journal(folder.string());
        JournalEntry entry;
        entry.identity = "SERIAL1";
        entry.enclosure = "usb port-1";
        entry.chip = kChip;
        entry.flow = "recover";
        entry.before = images.before;
        entry.after = images.after;
        std::string error;
        ASSERT_TRUE(journal.Create(entry, error)) << error;
        if (c.afterCreate) c.afterCreate(entry.file);
        std::vector<uint8_t> flash = images.before;
        c.cut(flash, images);
        const std::string identity = c.identity.empty() ? entry.identity : c.identity;
        const ChipIdValue chip = c.chip ? c.chip : kChip;
        const std::string enclosure = c.enclosure.empty() ? entry.enclosure : c.enclosure;
        const auto found = journal.Matching(identity, chip, flash, {}, enclosure);
        ASSERT_EQ(found.size(), c.matches ? 1u : 0u) << c.what;
        if (!c.matches) continue;
        EXPECT_EQ(found[0].after, images.after) << c.what;
        journal.Close(found[0]);
        EXPECT_TRUE(journal.Matching(identity, chip, flash, {}, enclosure).empty())
            << c.what << ", closed";
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace qks::test
