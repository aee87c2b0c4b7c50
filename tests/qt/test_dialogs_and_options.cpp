// The face's own dialogs, answered from inside their modal loop, and the
// program's options.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "faces/qt/command_line.h"
#include "faces/qt/qt_face.h"

namespace qks::qt {
namespace {

// Runs `inspect` on the message box once its modal loop runs, then makes
// sure the box goes away whatever `inspect` did.
void WhenBoxIsOpen(std::function<void(QMessageBox&)> inspect) {
    QTimer::singleShot(0, [inspect = std::move(inspect)] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "no message box is open";
        inspect(*box);
        if (box->isVisible()) box->done(QMessageBox::Cancel);
    });
}

TEST(Dialogs, TheRiskQuestionAnswersNoToEnterAndEscape) {
    QtFace face;
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        WhenBoxIsOpen([key](QMessageBox& box) {
            EXPECT_EQ(box.icon(), QMessageBox::Warning);
            EXPECT_EQ(box.text(), QStringLiteral("Write it?"));
            EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No));
            QTest::keyClick(&box, key);
        });
        EXPECT_FALSE(face.ConfirmRisk("Write it?"));
    }
    WhenBoxIsOpen([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
    EXPECT_TRUE(face.ConfirmRisk("Write it?"));
}

TEST(Dialogs, MessageBoxesHaveNoOwnerAndTheGivenCaptionIconAndText) {
    QtFace face;
    face.show();
    struct Case {
        MessageIcon icon;
        QMessageBox::Icon expected;
    };
    for (const Case c : {Case{MessageIcon::None, QMessageBox::NoIcon},
                         Case{MessageIcon::Error, QMessageBox::Critical},
                         Case{MessageIcon::Information, QMessageBox::Information},
                         Case{MessageIcon::Warning, QMessageBox::Warning}}) {
        bool seen = false;
        WhenBoxIsOpen([&](QMessageBox& box) {
            seen = true;
            EXPECT_EQ(box.parentWidget(), nullptr);
            EXPECT_EQ(box.windowTitle(), QStringLiteral("Error"));
            EXPECT_EQ(box.text(), QStringLiteral("Open device fail!!"));
            EXPECT_EQ(box.icon(), c.expected);
            EXPECT_EQ(box.buttons().size(), 1);
            EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
            box.button(QMessageBox::Ok)->click();
        });
        face.ShowMessageBox("Open device fail!!", "Error", c.icon);
        EXPECT_TRUE(seen);
    }
}

CommandLineParse Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "qks970-recovery");
    return ParseCommandLine(arguments);
}

TEST(CommandLine, EmulatedBridgesAccumulateInOrderInBothSpellings) {
    const CommandLineParse parsed =
        Parse({"--emulate", "q970", "--emulate=q719:content=old", "--trace=t.jsonl", "-v",
               "--images", "imgs"});
    ASSERT_TRUE(parsed.line) << parsed.error;
    EXPECT_EQ(parsed.line->emulate, (std::vector<std::string>{"q970", "q719:content=old"}));
    EXPECT_EQ(parsed.line->traceFile, "t.jsonl");
    EXPECT_EQ(parsed.line->imagesFolder, "imgs");
    EXPECT_TRUE(parsed.line->verbose);
    EXPECT_FALSE(parsed.line->engineering);
    EXPECT_EQ(parsed.line->toolkitArguments, std::vector<std::string>{"qks970-recovery"});
}

TEST(CommandLine, FlagsAndToolkitOptions) {
    const CommandLineParse parsed =
        Parse({"--engineering", "-platform", "offscreen", "--help", "--version", "-reverse"});
    ASSERT_TRUE(parsed.line) << parsed.error;
    EXPECT_TRUE(parsed.line->engineering);
    EXPECT_TRUE(parsed.line->help);
    EXPECT_TRUE(parsed.line->version);
    EXPECT_EQ(parsed.line->toolkitArguments,
              (std::vector<std::string>{"qks970-recovery", "-platform", "offscreen", "-reverse"}));
}

TEST(CommandLine, MistakesGiveOneLineNamingTheProblem) {
    struct Case {
        std::vector<std::string> arguments;
        std::string mentions;
    };
    const Case cases[] = {
        {{"--frobnicate"}, "'--frobnicate'"},
        {{"--emulatex"}, "'--emulatex'"},
        {{"stray"}, "'stray'"},
        {{"--emulate"}, "--emulate"},
        {{"--emulate="}, "--emulate"},
        {{"--emulate", "nosuchchip"}, "nosuchchip"},
        {{"--emulate", "q970:content=sideways"}, "content"},
        {{"--trace"}, "--trace"},
        {{"--trace="}, "--trace"},
        {{"--images"}, "--images"},
        {{"--images="}, "--images"},
        {{"-platform"}, "-platform"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        const CommandLineParse parsed = Parse(c.arguments);
        EXPECT_FALSE(parsed.line);
        EXPECT_NE(parsed.error.find(c.mentions), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
    }
}

// What the program prints and returns before any window exists.
TEST(CommandLine, MistakesExitTwoWithOneLineAndHelpOrVersionExitZero) {
    struct Run {
        std::optional<int> status;
        std::string out, err;
    };
    auto answer = [](std::vector<std::string> arguments) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Run run{AnswerWithoutWindow(Parse(std::move(arguments)), out, err), {}, {}};
        for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
            std::rewind(file);
            for (int c; (c = std::fgetc(file)) != EOF;) text->push_back(static_cast<char>(c));
            std::fclose(file);
        }
        return run;
    };
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--no-such-option"}, {"--emulate"}, {"--emulate", "q970:vendor=99"}}) {
        const Run run = answer(wrong);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.rfind("qks970-recovery: ", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    const Run help = answer({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--emulate DESCRIPTION"), std::string::npos);
    const Run version = answer({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("qks970-recovery 0.", 0), 0u) << version.out;
    EXPECT_EQ(answer({"--emulate", "q970"}).status, std::nullopt);
}

}  // namespace
}  // namespace qks::qt
