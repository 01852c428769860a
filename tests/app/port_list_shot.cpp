// For docs/port_list.png (scripts/screenshot.sh ports): the window on a fake machine
// with three USB adapters and a UART, Port 1's list open. Runs until killed.
#include <QApplication>
#include <QComboBox>
#include <QTimer>

#include "app/veltra.h"
#include "tests/platform/fake_sysfs.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  veltra::test::FakeMachine machine;
  machine.root.Tty("ttyS1", true, "4");
  machine.root.UsbAdapter("ttyUSB0", "0001",
                          "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0");
  machine.root.UsbAdapter("ttyUSB1", "A50285BI",
                          "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_A50285BI-if00-port0");
  veltra::app::TVeltra window;
  window.move(0, 0);
  window.show();
  QTimer::singleShot(1000, &window, [&] { window.CBPort->showPopup(); });
  return app.exec();
}
