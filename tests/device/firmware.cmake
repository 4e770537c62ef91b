# Intel HEX verification and the firmware update.
tov_add_test(test_hex ${CMAKE_CURRENT_LIST_DIR}/test_hex.cpp LIBS tov_device)
tov_add_test(test_firmware_unit ${CMAKE_CURRENT_LIST_DIR}/test_firmware_unit.cpp LIBS tov_device)
tov_add_test(test_memport_device ${CMAKE_CURRENT_LIST_DIR}/test_memport_device.cpp LIBS tov_device_mem)
tov_add_test(test_firmware_device ${CMAKE_CURRENT_LIST_DIR}/test_firmware_device.cpp)
# Once more against a device that answers only after the bytes have crossed
# the line at its rate (the 20 s silent device is left to the run above).
gtest_discover_tests(test_firmware_device TEST_PREFIX wire. TEST_FILTER "-*SilentAfterTheReset*"
  DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 ENVIRONMENT TOV_TEST_WIRE_TIME=1)
