# Intel HEX verification and the firmware update.
tov_add_test(test_hex ${CMAKE_CURRENT_LIST_DIR}/test_hex.cpp LIBS tov_device)
tov_add_test(test_firmware_unit ${CMAKE_CURRENT_LIST_DIR}/test_firmware_unit.cpp LIBS tov_device)
tov_add_test(test_memport_device ${CMAKE_CURRENT_LIST_DIR}/test_memport_device.cpp LIBS tov_device_mem)
tov_add_test(test_firmware_device ${CMAKE_CURRENT_LIST_DIR}/test_firmware_device.cpp)
