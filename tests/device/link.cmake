# link, download and serial test
tov_add_test(test_link_crc_packets ${CMAKE_CURRENT_LIST_DIR}/test_crc_packets.cpp LIBS tov_device)
