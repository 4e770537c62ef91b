# link, download and serial test
# CRC, packets and the handshake in-process, over the in-memory port.
tov_add_test(test_link_crc_packets ${CMAKE_CURRENT_LIST_DIR}/test_crc_packets.cpp LIBS tov_device_mem)
# End to end against the simulator over a pseudo-terminal.
if(TARGET tovsim)
  tov_add_test(test_link_device ${CMAKE_CURRENT_LIST_DIR}/test_link_device.cpp)
  tov_add_test(test_link_download_device ${CMAKE_CURRENT_LIST_DIR}/test_download_device.cpp LIBS tov_device)
  # Once more against a device that answers only after the bytes have crossed
  # the line at its rate (the 5 s silent device is left to the run above).
  gtest_discover_tests(test_link_download_device TEST_PREFIX wire. TEST_FILTER "-*SilentDevice*"
    DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 ENVIRONMENT TOV_TEST_WIRE_TIME=1)
  tov_add_test(test_link_serialtest_device ${CMAKE_CURRENT_LIST_DIR}/test_serialtest_device.cpp)
endif()
