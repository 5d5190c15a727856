// tavrel-bench-floor: the floor under the app's footprint. A bare Qt Widgets program that shows an
// empty window of the main window's size and nothing else; bench/footprint measures it beside the
// app in the same run.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Qt floor"));
    window.setFixedSize(540, 780);
    window.show();
    return QApplication::exec();
}
