// Draws an SVG icon as PNGs of the sizes panels and menus ask for, into a hicolor tree:
//   render_icons ICON.svg NAME OUTPUT_FOLDER SIZE...
// writes OUTPUT_FOLDER/SIZExSIZE/apps/NAME.png for each size.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: render_icons ICON.svg NAME OUTPUT_FOLDER SIZE...\n";
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const QGuiApplication application(argc, argv);
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::cerr << "render_icons: cannot read " << argv[1] << '\n';
        return 1;
    }
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QDir output(QString::fromLocal8Bit(argv[3]));
    for (int index = 4; index < argc; ++index) {
        const int size = std::atoi(argv[index]);
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        if (!output.mkpath(folder) ||
            !image.save(output.filePath(folder + QStringLiteral("/") + name + QStringLiteral(".png")))) {
            std::cerr << "render_icons: cannot write the " << size << " px icon\n";
            return 1;
        }
    }
    return 0;
}
