// Port names on every system the program is built for, whatever system the
// test runs on: COMn to device path and back, and which names are paths.
#include <gtest/gtest.h>

#include <string>

#include "serial/port_name.h"

namespace {

struct mapping_row {
  port_system sys;
  const char* name;
  const char* device;  // "": the name names no port there
};

const mapping_row mappings[] = {
    {PORT_LINUX, "COM1", "/dev/ttyS0"},
    {PORT_LINUX, "com20", "/dev/ttyS19"},
    {PORT_LINUX, "Com3", "/dev/ttyS2"},
    {PORT_LINUX, "/dev/ttyUSB0", "/dev/ttyUSB0"},
    {PORT_LINUX, "\\\\.\\COM3", ""},
    {PORT_FREEBSD, "COM1", "/dev/cuau0"},
    {PORT_FREEBSD, "COM12", "/dev/cuau11"},
    {PORT_OPENBSD, "COM1", "/dev/cua00"},
    {PORT_OPENBSD, "COM20", "/dev/cua19"},
    {PORT_NETBSD, "com2", "/dev/dty01"},
    {PORT_MACOS, "COM1", ""},
    {PORT_MACOS, "/dev/cu.usbserial-A1", "/dev/cu.usbserial-A1"},
    {PORT_WINDOWS, "COM3", "\\\\.\\COM3"},
    {PORT_WINDOWS, "com12", "\\\\.\\COM12"},
    {PORT_WINDOWS, "\\\\.\\COM3", "\\\\.\\COM3"},
    {PORT_WINDOWS, "\\\\?\\COM4", "\\\\?\\COM4"},
    {PORT_WINDOWS, "/dev/ttyS0", "/dev/ttyS0"},
    {PORT_WINDOWS, "\\x", ""},
    {PORT_BROWSER, "COM2", "page port 2"},
    {PORT_WINDOWS, "CNCA0", ""},
};

TEST(PortName, DeviceOfEveryNameOnEverySystem) {
  for (const mapping_row& r : mappings) {
    char out[64] = "junk";
    EXPECT_EQ(port_device_path_on(r.sys, r.name, out, sizeof out), r.device[0] != '\0' ? 0 : -1) << r.name;
    EXPECT_STREQ(out, r.device) << r.sys << " " << r.name;
    // A COM name comes back from its device.
    if (r.device[0] == '\0' || port_com_number(r.name) == 0) continue;
    char back[16] = "junk";
    EXPECT_EQ(port_com_name_on(r.sys, r.device, back, sizeof back), 0) << r.device;
    EXPECT_EQ(port_com_number(back), port_com_number(r.name)) << r.device;
  }
}

TEST(PortName, OnlyCom1ToCom20AreNames) {
  for (const char* bad : {"COM0", "COM21", "COM03", "COM", "COM1x", "COM+1", "COM 1", "ttyS0", "", "COM100"})
    EXPECT_EQ(port_com_number(bad), 0) << bad;
  EXPECT_EQ(port_com_number("cOm7"), 7);
  char out[64] = "junk";
  EXPECT_EQ(port_device_path_on(PORT_LINUX, nullptr, out, sizeof out), -1);
  EXPECT_STREQ(out, "");
  // Devices that are none of the twenty ports have no COM name.
  for (const char* device : {"/dev/ttyS20", "/dev/ttyUSB0", "/dev/ttyS02", "/dev/cuau0"})
    EXPECT_EQ(port_com_name_on(PORT_LINUX, device, out, sizeof out), -1) << device;
  EXPECT_EQ(port_com_name_on(PORT_MACOS, "/dev/ttyS0", out, sizeof out), -1);
}

TEST(PortName, TooSmallABufferGetsNothing) {
  char tiny[6] = "junk";
  EXPECT_EQ(port_device_path_on(PORT_LINUX, "COM12", tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "");
  EXPECT_EQ(port_device_path_on(PORT_LINUX, "/dev/ttyUSB0", tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "");
  char two[3] = "x";
  EXPECT_EQ(port_com_name_on(PORT_LINUX, "/dev/ttyS11", two, sizeof two), -1);
  EXPECT_STREQ(two, "");
}

TEST(PortName, ThisSystemUsesItsRow) {
  for (const char* name : {"COM4", "/dev/x"}) {
    char here[64];
    char row[64];
    const int rc = port_device_path(name, here, sizeof here);
    EXPECT_EQ(rc, port_device_path_on(port_system_here(), name, row, sizeof row)) << name;
    EXPECT_STREQ(here, row) << name;
  }
#if defined(__linux__)
  EXPECT_EQ(port_system_here(), PORT_LINUX);
#elif defined(_WIN32)
  EXPECT_EQ(port_system_here(), PORT_WINDOWS);
#endif
}

}  // namespace
