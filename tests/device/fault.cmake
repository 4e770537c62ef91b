# The fault matrix: tovhost against a simulated device that misbehaves.
if(TARGET tovsim)
  tov_add_test(test_fault_matrix ${CMAKE_CURRENT_LIST_DIR}/test_fault_matrix.cpp)
endif()
