// The port list over a made-up sysfs and /dev tree: a USB adapter with its
// by-id link, a USB modem port, a built-in port with a UART, built-in ports
// without hardware (not listed), and terminals with no device at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run_program.h"
#include "serial/portlist.h"

namespace {

// Creates the directories of `path` and the file itself with `text`.
void put(const std::string& path, const std::string& text) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0755);
  write_file(path, text);
}

void dir(const std::string& path) { put(path + "/.keep", ""); }

void link_to(const std::string& target, const std::string& path) {
  dir(path.substr(0, path.rfind('/')));
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

struct listing {
  int count;
  std::string text;
};

listing list(const std::string& root) {
  const std::string out_path = root + "/listing.txt";
  FILE* out = std::fopen(out_path.c_str(), "w");
  const std::string sys = root + "/sys", dev = root + "/dev";
  const int n = port_list(out, portlist_roots{sys.c_str(), dev.c_str()});
  std::fclose(out);
  return {n, read_file(out_path)};
}

// A machine as the kernel shows it: sysfs under root/sys, devices under root/dev.
std::string made_up_machine() {
  const std::string root = scratch_dir("portlist");
  const std::string sys = root + "/sys", dev = root + "/dev";
  const std::string usb = sys + "/devices/pci0000:00/0000:00:14.0/usb1";

  // An FTDI adapter: tty -> usb-serial port device -> interface -> USB device.
  const std::string ftdi = usb + "/1-2";
  put(ftdi + "/idVendor", "0403\n");
  put(ftdi + "/idProduct", "6001\n");
  put(ftdi + "/manufacturer", "FTDI\n");
  put(ftdi + "/product", "FT232R USB UART\n");
  put(ftdi + "/serial", "A1B2C3\n");
  const std::string ftdi_port = ftdi + "/1-2:1.0/ttyUSB0";
  link_to(sys + "/bus/usb-serial/drivers/ftdi_sio", ftdi_port + "/driver");
  link_to(sys + "/bus/usb-serial", ftdi_port + "/subsystem");
  link_to("../../../ttyUSB0", ftdi_port + "/tty/ttyUSB0/device");
  link_to("../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0", sys + "/class/tty/ttyUSB0");

  // A USB modem port (CDC ACM) without a serial number.
  const std::string acm = usb + "/1-3";
  put(acm + "/idVendor", "2341\n");
  put(acm + "/idProduct", "0043\n");
  put(acm + "/product", "Uno\n");
  link_to(sys + "/bus/usb/drivers/cdc_acm", acm + "/1-3:1.0/driver");
  link_to("../../../1-3:1.0", acm + "/1-3:1.0/tty/ttyACM0/device");
  link_to("../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/tty/ttyACM0", sys + "/class/tty/ttyACM0");

  // A built-in port with a 16550A behind it, on the serial core's port bus.
  const std::string pnp = sys + "/devices/pnp0/00:00";
  link_to(sys + "/bus/pnp/drivers/serial", pnp + "/driver");
  link_to(sys + "/bus/serial-base", pnp + "/00:00:0/00:00:0.0/subsystem");
  link_to(sys + "/bus/serial-base/drivers/port", pnp + "/00:00:0/00:00:0.0/driver");
  put(pnp + "/00:00:0/00:00:0.0/tty/ttyS0/type", "4\n");
  link_to("../../../00:00:0.0", pnp + "/00:00:0/00:00:0.0/tty/ttyS0/device");
  link_to("../../devices/pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0", sys + "/class/tty/ttyS0");

  // Built-in ports the kernel keeps without hardware: type 0, and (an older
  // kernel) no type but a platform placeholder.
  const std::string placeholder = sys + "/devices/platform/serial8250";
  link_to(sys + "/bus/platform", placeholder + "/subsystem");
  put(placeholder + "/tty/ttyS1/type", "0\n");
  link_to("../../../serial8250", placeholder + "/tty/ttyS1/device");
  link_to("../../devices/platform/serial8250/tty/ttyS1", sys + "/class/tty/ttyS1");
  link_to("../../../serial8250", placeholder + "/tty/ttyS2/device");
  link_to("../../devices/platform/serial8250/tty/ttyS2", sys + "/class/tty/ttyS2");

  // Terminals with no device: not serial ports.
  dir(sys + "/devices/virtual/tty/tty0");
  link_to("../../devices/virtual/tty/tty0", sys + "/class/tty/tty0");
  dir(sys + "/devices/virtual/tty/ptmx");
  link_to("../../devices/virtual/tty/ptmx", sys + "/class/tty/ptmx");

  for (const char* d : {"ttyUSB0", "ttyACM0", "ttyS0", "ttyS1", "ttyS2", "tty0", "ptmx"}) put(dev + "/" + d, "");
  link_to("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
  link_to("../../ttyACM0", dev + "/serial/by-id/usb-Arduino_Uno-if00");
  return root;
}

TEST(PortList, MadeUpMachine) {
  const std::string root = made_up_machine();
  const listing l = list(root);
  const std::string dev = root + "/dev";
  EXPECT_EQ(l.count, 3);
  // In the order of the names, numbers counted as numbers.
  EXPECT_EQ(l.text, dev + "/ttyACM0 device " + dev + "/ttyACM0, by-id " + dev +
                        "/serial/by-id/usb-Arduino_Uno-if00, driver cdc_acm, usb 2341:0043, product Uno\n" +
                        "COM1           device " + dev + "/ttyS0, driver serial\n" + dev + "/ttyUSB0 device " + dev + "/ttyUSB0, by-id " + dev +
                        "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0, driver ftdi_sio, usb 0403:6001, "
                        "manufacturer FTDI, product FT232R USB UART, serial A1B2C3\n");
}

// What a USB device calls itself reaches the terminal with its control
// characters and bytes from 0x80 escaped.
TEST(PortList, DeviceStringsAreEscaped) {
  const std::string root = made_up_machine();
  const std::string ftdi = root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
  write_file(ftdi + "/manufacturer", "FT\x1b[2JDI\n");
  write_file(ftdi + "/product", "UART\x07 \xc3\xa9\x7f\n");
  const listing l = list(root);
  EXPECT_NE(l.text.find(", manufacturer FT\\x1b[2JDI, product UART\\x07 \\xc3\\xa9\\x7f, serial A1B2C3\n"),
            std::string::npos)
      << l.text;
}

// What completion at the prompt offers: the same ports, each followed by its
// stable name, and nothing for the ports the list leaves out.
TEST(PortList, DevicesOfTheListedPorts) {
  const std::string root = made_up_machine();
  const std::string sys = root + "/sys", dev = root + "/dev";
  std::vector<std::string> found{"kept"};
  EXPECT_EQ(port_devices(portlist_roots{sys.c_str(), dev.c_str()}, found), 5);
  EXPECT_EQ(found, (std::vector<std::string>{"kept", dev + "/ttyACM0", dev + "/serial/by-id/usb-Arduino_Uno-if00",
                                             dev + "/ttyS0", dev + "/ttyUSB0",
                                             dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"}));
  const std::string none = scratch_dir("portlist_devices_none");
  const std::string none_sys = none + "/sys", none_dev = none + "/dev";
  EXPECT_EQ(port_devices(portlist_roots{none_sys.c_str(), none_dev.c_str()}, found), 0);
  EXPECT_EQ(found.size(), 6u);
}

TEST(PortList, NoPortsAtAll) {
  const std::string root = scratch_dir("portlist_none");
  // No sysfs at all, and a sysfs with only a virtual terminal.
  EXPECT_EQ(list(root).count, 0);
  EXPECT_EQ(list(root).text, "No serial ports found.\n");
  dir(root + "/sys/devices/virtual/tty/tty0");
  link_to("../../devices/virtual/tty/tty0", root + "/sys/class/tty/tty0");
  put(root + "/dev/tty0", "");
  EXPECT_EQ(list(root).text, "No serial ports found.\n");
}

}  // namespace
