// Saves a part of the X screen as a PNG: what the operator sees of a
// running program, drawn by the X server itself.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s OUT.png X Y WIDTH HEIGHT\n", argv[0]);
    return 2;
  }
  QGuiApplication application(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 1;
  const QPixmap shot = screen->grabWindow(0, std::atoi(argv[2]), std::atoi(argv[3]),
                                          std::atoi(argv[4]), std::atoi(argv[5]));
  return shot.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
