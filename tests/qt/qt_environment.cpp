// One QApplication for the whole test program, before the first test runs.
#include <QApplication>
#include <gtest/gtest.h>

namespace {

class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_qt";
        static char* argv[] = {name, nullptr};
        application_ = new QApplication(argc, argv);
        // The tests close windows; that must not end anything.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        delete application_;
        application_ = nullptr;
    }

private:
    QApplication* application_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
