// Writes the fuzzers' seed corpora:  make_seeds DIR  (normally fuzz/corpus).
// The identification seeds are what the emulated bridges really answer, in
// the scripted-device record format, so fuzzing starts from every family's
// conversation instead of from noise.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "operations/device_texts.h"
#include "byte_reader.h"
#include "device/chip_id.h"
#include "device/clock.h"
#include "device/transport.h"
#include "device_script.h"
#include "emulator/platform.h"
#include "emulator/profiles.h"
#include "firmware/image_store.h"

namespace {

using namespace qks;
namespace fs = std::filesystem;

void Write(const fs::path& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string FileName(std::string text) {
    for (char& c : text)
        if (c == ':' || c == ',' || c == '=' || c == '/') c = '_';
    return text;
}

class Quiet final : public UserMessages {
public:
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void DebugOutput(const std::string&) override {}
};

std::vector<std::string> Descriptions() {
    std::vector<std::string> texts;
    for (const emu::Profile& profile : emu::AllProfiles()) texts.emplace_back(profile.name);
    for (const char* text : {"q970:late=1", "q970:blockmode=1,vendor=5", "q970:inqcode=0",
                             "q742:rev=1", "q742:rev=2,amic=3", "q743:rev=1", "q743:rev=2",
                             "q715:rev=1", "q719:rev=3", "q861:inqcode=0", "q958:content=blank",
                             "plain:iface=both", "q970:iface=cdrom", "q970:fail=2",
                             "q970:unplug=3", "q716:rom=1,inqcode=0"})
        texts.emplace_back(text);
    return texts;
}

void ChipIdSeeds(const fs::path& folder) {
    const auto image = EmbeddedImages().Find(kTargetImageName);
    for (const std::string& text : Descriptions()) {
        VirtualClock clock;
        emu::EmulatorPlatform platform(clock, image);
        if (!platform.AddBridge(text).ok()) {
            std::fprintf(stderr, "make_seeds: skipping '%s'\n", text.c_str());
            continue;
        }
        fuzz::RecordingPassThrough recorder(platform);
        Transport transport(recorder, clock);
        VendorCommandSet commands(transport);
        Quiet messages;
        const DevicePath path = platform.PathsOf(0).at(0);
        const uint8_t type = ChipTypeOf(GetChipId(commands, messages, path));
        (void)FirmwareVersionText(commands, path, type);
        Write(folder, FileName(text), recorder.Script());
    }
}

void DescriptionSeeds(const fs::path& folder) {
    for (const std::string& text : Descriptions()) Write(folder, FileName(text), Bytes(text));
    for (const char* text : {"q970:flip=0x1000,busy=stuck", "q719:size=1M,content=updated",
                             "q970:powerloss=40,vendor=15", "Q970:Vendor=9,LATE=0",
                             "q970:vendor=16", "nosuch:vendor=1", "q970:vendor=1,vendor=2"})
        Write(folder, FileName(text), Bytes(text));
}

// Chip identity first, then the start of the file: the check reads nothing
// past 0x400A, so the seeds stop shortly after.
void FirmwareFileSeeds(const fs::path& folder) {
    struct Case {
        const char* image;
        uint8_t type;
        uint8_t revision;
    };
    static constexpr Case kCases[] = {
        {"QKS958FW", 10, 0}, {"QKS958FW", 10, 9}, {"FW719", 4, 1}, {"FW719", 1, 1},
        {"FW742A", 6, 1},    {"FW742B", 6, 2},    {"FW742A", 11, 0}, {"FW719", 7, 2},
    };
    for (const Case& c : kCases) {
        const auto bytes = EmbeddedImages().Find(c.image);
        std::vector<uint8_t> seed = {c.type, c.revision};
        seed.insert(seed.end(), bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 0x4010));
        Write(folder, std::string(c.image) + "-type" + std::to_string(c.type) + "-rev" +
                          std::to_string(c.revision), seed);
    }
    Write(folder, "short", {10, 0, 0x55, 0xAA, 0xAA, 0x55, '9', '7'});
}

// One transfer in the fuzz_transport format.
void Transfer(fuzz::ByteWriter& w, uint8_t flags, const std::vector<uint8_t>& cdb, uint16_t length,
              uint8_t status, uint32_t transferred, const std::vector<uint8_t>& sense,
              const std::string& diagnostic, const std::vector<uint8_t>& reply) {
    w.U8(flags);
    w.U8(static_cast<uint8_t>(cdb.size()));
    w.Bytes(cdb);
    w.U16(length);
    w.U8(status);
    w.U8(0);
    w.U8(0);
    w.U8(0);
    w.U32(transferred);
    w.U8(static_cast<uint8_t>(sense.size()));
    w.Bytes(sense);
    w.U8(static_cast<uint8_t>(diagnostic.size()));
    w.Bytes(Bytes(diagnostic));
    w.U8(static_cast<uint8_t>(reply.size()));
    w.Bytes(reply);
}

void TransportSeeds(const fs::path& folder) {
    const std::vector<uint8_t> read = {0xDF, 0x10, 0x00, 0x00, 0x04, 0, 0xFD, 0xB0, 0, 0, 0, 0xFD};
    const std::vector<uint8_t> status = {0xFF, 0x04, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> erase = {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> write = {0xDF, 0x05, 0x20, 0x00, 0, 0, 0, 0, 0, 0, 0, 0xFB};
    const std::vector<uint8_t> fixedSense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> descriptorSense = {0x72, 0x04, 0x44, 0x00};
    auto save = [&](const char* name, auto make) {
        fuzz::ByteWriter w;
        make(w);
        Write(folder, name, w.Result());
    };
    save("read4", [&](auto& w) { Transfer(w, 0, read, 4, 0, 4, {}, "", {0, 0xB4, 0, 0}); });
    save("status1", [&](auto& w) { Transfer(w, 0, status, 1, 0, 2, {}, "", {0x01, 0}); });
    save("erase0", [&](auto& w) { Transfer(w, 0x01, erase, 0, 0, 0, {}, "", {}); });
    save("write8k", [&](auto& w) { Transfer(w, 0x01, write, 8192, 0, 8192, {}, "", {}); });
    save("refused", [&](auto& w) {
        Transfer(w, 0, read, 16, 0x02, 0, fixedSense, "", {});
        Transfer(w, 0, read, 16, 0x02, 3, descriptorSense, "short", {1, 2, 3});
    });
    save("overlong", [&](auto& w) { Transfer(w, 0, read, 3, 0, 0xFFFFFFFFu, {}, "", {1, 2, 3, 4, 5}); });
    save("gone", [&](auto& w) {
        Transfer(w, 0x08, read, 4, 0, 0, {}, "/dev/sg3: no such device", {});
        Transfer(w, 0x40, write, 3, 0, 0, {}, "SG_IO failed: P\xe9riph\xe9rique", {});
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    ChipIdSeeds(root / "chip_id");
    DescriptionSeeds(root / "description");
    FirmwareFileSeeds(root / "firmware_file");
    TransportSeeds(root / "transport");
    return 0;
}
