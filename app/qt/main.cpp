// vantoly: the main dialog on the Linux desktop.
#include "app/qt/vantoly_app.h"

int main(int argc, char **argv) {
  CVantolyApp app;
  return app.Run(argc, argv);
}
