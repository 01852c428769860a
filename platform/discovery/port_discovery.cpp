// What the port lists show beside a port's name, the same on both systems.
#include "platform/discovery/port_discovery.h"

namespace veltra::platform {

std::string DescribePort(const SerialPortInfo& port) {
  std::string text = port.product;
  if (!port.manufacturer.empty()) text += (text.empty() ? "" : ", ") + port.manufacturer;
  if (!port.vendorId.empty()) {
    text += (text.empty() ? "" : " ") + ("(" + port.vendorId + ":" + port.productId + ")");
  }
  if (!port.serialNumber.empty())
    text += (text.empty() ? "" : " ") + ("serial " + port.serialNumber);
  if (!port.driver.empty()) text += (text.empty() ? "" : ", ") + port.driver;
  return text;
}

}  // namespace veltra::platform
