// The program: options, the application object, the platform below the
// window, the window model and its Qt face, and the message loop.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "faces/common/runtime.h"
#include "faces/qt/command_line.h"
#include "faces/qt/power_strip.h"
#include "faces/qt/program_icon.h"
#include "faces/qt/qt_face.h"
#include "faces/qt/queued_notifier.h"

namespace {

using qks::qt::kProgramName;

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, message.c_str());
    return code;
}

// The message loop's last word on an error nobody handled: shown, then the end.
int ShowFatal(const char* what) {
    QMessageBox box(QMessageBox::Critical,
                    QString::fromUtf8(qks::kWindowDescription.applicationTitle),
                    QString::fromUtf8(what), QMessageBox::Ok);
    box.exec();
    return 1;
}

int Run(const qks::qt::CommandLine& line) {
    qks::RuntimeOptions options;
    options.emulate = line.emulate;
    options.traceFile = line.traceFile;
    options.imagesFolder = line.imagesFolder;
    options.programFolder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() +
                                                     QLatin1Char('/'))
                                .toStdString();
    std::string error;
    qks::RuntimeFailure failure = qks::RuntimeFailure::System;
    std::unique_ptr<qks::Runtime> runtime = qks::Runtime::Create(options, error, &failure);
    if (!runtime && failure == qks::RuntimeFailure::Image) {
        // Started from a menu, nobody reads standard error.
        Fail(2, error);
        ShowFatal(error.c_str());
        return 2;
    }
    if (!runtime) return Fail(line.emulate.empty() ? 1 : 2, error);

    qks::qt::QtFace face;
    face.SetVerbose(line.verbose);
    std::unique_ptr<qks::qt::QueuedNotifier> notices;
    if (runtime->Notifier())
        notices = std::make_unique<qks::qt::QueuedNotifier>(*runtime->Notifier());

    qks::TQ71xFwTool window(runtime->Services(), face);
    face.Bind(&window);
    if (runtime->Emulator() && notices)
        face.SetStrip(new qks::qt::PowerStrip(*runtime->Emulator(), *notices));
    if (line.engineering) window.EnableEngineeringMode();
    window.FormCreate(notices.get());
    face.show();
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    const qks::qt::CommandLineParse parsed =
        qks::qt::ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    if (const auto status = qks::qt::AnswerWithoutWindow(parsed, stdout, stderr)) return *status;
    const qks::qt::CommandLine& line = *parsed.line;

    // The application object keeps argc and argv for its whole life.
    std::vector<std::string> toolkitArguments = line.toolkitArguments;
    std::vector<char*> toolkitArgv;
    for (std::string& argument : toolkitArguments) toolkitArgv.push_back(argument.data());
    toolkitArgv.push_back(nullptr);
    int toolkitArgc = static_cast<int>(toolkitArguments.size());
    QApplication application(toolkitArgc, toolkitArgv.data());
    // The application title, not the display name: Qt would append a display
    // name to the window caption.
    QCoreApplication::setApplicationName(
        QString::fromUtf8(qks::kWindowDescription.applicationTitle));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kProgramName));
    QApplication::setWindowIcon(qks::qt::ProgramIcon());

    try {
        return Run(line);
    } catch (const std::exception& e) {
        return ShowFatal(e.what());
    } catch (...) {
        return ShowFatal("");
    }
}
