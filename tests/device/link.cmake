# link, download and serial test
tov_add_test(test_link_crc_packets ${CMAKE_CURRENT_LIST_DIR}/test_crc_packets.cpp LIBS tov_device)
# End to end against the simulator over a pseudo-terminal.
if(TARGET tovsim)
  tov_add_test(test_link_device ${CMAKE_CURRENT_LIST_DIR}/test_link_device.cpp)
  tov_add_test(test_link_download_device ${CMAKE_CURRENT_LIST_DIR}/test_download_device.cpp LIBS tov_device)
  tov_add_test(test_link_serialtest_device ${CMAKE_CURRENT_LIST_DIR}/test_serialtest_device.cpp)
endif()
