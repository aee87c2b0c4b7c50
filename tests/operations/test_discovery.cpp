// The one discovery: enclosures where the system does not name the USB
// device, and the human name a question shows.
#include <gtest/gtest.h>

#include "app/model_fixture.h"
#include "operations/discovery.h"

namespace qks::test {
namespace {

// The emulator's interfaces as a system that tells nothing of their USB device.
class AnonymousEnumerator final : public DeviceEnumerator {
public:
    explicit AnonymousEnumerator(DeviceEnumerator& inner) : inner_(inner) {}
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) override {
        auto list = inner_.ListUsbStorage(cls);
        for (auto& info : list) info.enclosure.clear();
        return list;
    }

private:
    DeviceEnumerator& inner_;
};

TEST(Discovery, WithoutTheUsbDeviceSerialAndChipMakeTheEnclosure) {
    struct Case {
        std::vector<std::string> bridges;
        std::vector<size_t> enclosures;
    };
    for (const Case& c : {Case{{"q970:serial=S", "q970:serial=S"}, {0, 0}},
                          Case{{"q970:serial=S", "q719:serial=S"}, {0, 1}},
                          Case{{"q970:serial=", "q970:serial="}, {0, 1}},
                          Case{{"q970:iface=both"}, {0, 0}}}) {
        ModelFixture fx(c.bridges);
        AnonymousEnumerator anonymous(*fx.platform);
        const DeviceServices services = fx.Services("").WithEnumerator(anonymous);
        SilentSink sink;
        DiscoveryOptions options;
        options.engineering = true;
        const Discovery d = Discover(services, options, sink);
        std::vector<size_t> enclosures;
        for (const auto& r : d.devices) enclosures.push_back(r.enclosure);
        EXPECT_EQ(enclosures, c.enclosures) << c.bridges.front();
        EXPECT_EQ(d.ListedEnclosures().size(), d.EnclosureCount()) << c.bridges.front();
    }
}

TEST(Discovery, NamesEachDeviceByItsInquiryTextSerialAndSeries) {
    ModelFixture fx({"q970:serial=ABC"});
    SilentSink sink;
    const Discovery d = Discover(fx.Services(""), DiscoveryOptions{}, sink);
    ASSERT_EQ(d.listed.size(), 1u);
    const std::string name = d.devices[0].HumanName();
    EXPECT_NE(name.find("(serial ABC, QKS970/958 Series)"), std::string::npos) << name;
    EXPECT_EQ(name.rfind(d.devices[0].name.substr(0, 6), 0), 0u) << name;
}

}  // namespace
}  // namespace qks::test
