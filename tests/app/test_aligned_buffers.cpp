// Every data buffer that reaches a pass-through meets the adapter's
// alignment once AlignedPassThrough stands in front of it (the Windows
// pass-through does so with the adapter's AlignmentMask): over the
// window's refresh and a recovery, every pointer is on the boundary.
#include <gtest/gtest.h>

#include "app/model_fixture.h"
#include "device/aligned_pass_through.h"

namespace qks::test {
namespace {

constexpr uint32_t kMask = 7;

// What the adapter would see: every data pointer, checked and counted.
class RecordingPassThrough final : public PassThrough {
public:
    explicit RecordingPassThrough(PassThrough& inner) : inner_(inner) {}
    OpenResult Open(const DevicePath& path, OpenMode mode) override {
        OpenResult opened = inner_.Open(path, mode);
        if (opened.handle) opened.handle = std::make_unique<Handle>(std::move(opened.handle), *this);
        return opened;
    }
    size_t withData = 0;
    size_t misaligned = 0;

private:
    struct Handle final : DeviceHandle {
        Handle(std::unique_ptr<DeviceHandle> inner, RecordingPassThrough& owner)
            : inner(std::move(inner)), owner(owner) {}
        ScsiOutcome Execute(const ScsiCommand& command) override {
            if (command.length > 0) {
                ++owner.withData;
                if (!MeetsAlignment(command.data, kMask)) ++owner.misaligned;
            }
            return inner->Execute(command);
        }
        std::unique_ptr<DeviceHandle> inner;
        RecordingPassThrough& owner;
    };
    PassThrough& inner_;
};

TEST(AlignedBuffers, EveryDataPointerOfARefreshAndARecoveryIsAligned) {
    ModelFixture fx({"q970", "q719:iface=both"});
    RecordingPassThrough adapter(*fx.platform);
    AlignedPassThrough aligned(adapter, [](const DevicePath&) { return kMask; });
    DeviceServices services(aligned, *fx.platform, fx.clock, EmbeddedImages());
    TQ71xFwTool window(services, fx.face);
    window.FormCreate(fx.platform.get());
    ASSERT_EQ(window.CurrentScreen(), Screen::Confirm);
    window.Click(ControlId::EraseButton);
    EXPECT_EQ(window.CurrentScreen(), Screen::Success);
    EXPECT_GT(adapter.withData, 50u);
    EXPECT_EQ(adapter.misaligned, 0u);
}

// The copy goes both ways: what the device sent reaches the caller's
// buffer, what the caller wrote reaches the device; an aligned buffer is
// handed on as it is.
TEST(AlignedBuffers, AMisalignedBufferTravelsThroughAnAlignedCopy) {
    struct Echo final : DeviceHandle {
        ScsiOutcome Execute(const ScsiCommand& command) override {
            seen = command.data;
            if (command.direction == DataDirection::Out)
                sent.assign(command.data, command.data + command.length);
            else
                for (uint32_t i = 0; i < command.length; ++i) command.data[i] = static_cast<uint8_t>(0xA0 + i);
            ScsiOutcome outcome;
            outcome.delivered = true;
            outcome.transferred = command.length - 1;   // one byte short
            return outcome;
        }
        uint8_t* seen = nullptr;
        std::vector<uint8_t> sent;
    };
    auto echo = std::make_unique<Echo>();
    Echo& inner = *echo;
    const auto handle = WithAlignedBuffers(std::move(echo), kMask);
    alignas(8) uint8_t buffer[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint8_t cdb[12] = {};

    ScsiCommand out{cdb, 12, DataDirection::Out, buffer + 1, 4, 10};
    handle->Execute(out);
    EXPECT_TRUE(MeetsAlignment(inner.seen, kMask));
    EXPECT_EQ(inner.sent, (std::vector<uint8_t>{2, 3, 4, 5}));

    ScsiCommand in{cdb, 12, DataDirection::In, buffer + 1, 4, 20};
    handle->Execute(in);
    EXPECT_TRUE(MeetsAlignment(inner.seen, kMask));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), (std::vector<uint8_t>{1, 0xA0, 0xA1, 0xA2, 5, 6}))
        << "only the bytes the device sent";

    ScsiCommand direct{cdb, 12, DataDirection::In, buffer + 8, 4, 20};
    handle->Execute(direct);
    EXPECT_EQ(inner.seen, buffer + 8);
}

}  // namespace
}  // namespace qks::test
