// Renders every screen of the window to PNG files:  render_screens FOLDER
#include <QApplication>
#include <cstdio>

#include "qt/render/screens.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: render_screens FOLDER\n");
        return 2;
    }
    QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "render_screens: cannot make %s\n", argv[1]);
        return 1;
    }
    const qks::qt::test::Rendering rendering = qks::qt::test::RenderScreens(folder);
    for (const std::string& name : rendering.written)
        std::printf("%s\n", folder.filePath(QString::fromStdString(name)).toUtf8().constData());
    for (const std::string& problem : rendering.problems)
        std::fprintf(stderr, "render_screens: %s\n", problem.c_str());
    return rendering.problems.empty() ? 0 : 1;
}
