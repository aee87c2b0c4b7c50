// The documentation's screenshots are made by driving the window through
// every screen; a screen that can no longer be reached fails here.
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "qt/render/screens.h"

namespace qks::qt::test {
namespace {

TEST(Screens, EveryScreenIsReachedAndRendered) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const Rendering rendering = RenderScreens(QDir(folder.path()));
    for (const std::string& problem : rendering.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(rendering.written,
              (std::vector<std::string>{"confirm.png", "working.png", "success.png",
                                        "no-device.png", "already-updated.png", "failure.png",
                                        "failure-cause.png", "engineering.png", "emulator-strip.png", "icon.png"}));

    // The recovery screens are the shrunk window: question line and buttons.
    const QSize recovery(kWindowDescription.clientWidth,
                         kWindowDescription.clientHeight - kRdPanelHeight);
    for (const char* name : {"confirm", "working", "success", "no-device", "already-updated",
                             "failure"}) {
        SCOPED_TRACE(name);
        const QImage image(QDir(folder.path()).filePath(QString::fromLatin1(name) + ".png"));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size() / image.devicePixelRatio(), recovery);
    }
    const QImage engineering(QDir(folder.path()).filePath("engineering.png"));
    EXPECT_GT(engineering.height(), recovery.height() + kRdPanelHeight);
}

}  // namespace
}  // namespace qks::qt::test
