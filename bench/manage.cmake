# A synthetic fleet's beats for vesk-manage listen; run by bench/listen_figure.py.
if(TARGET vesk_manage_parts)
  add_executable(vesk_listen_load ${CMAKE_CURRENT_LIST_DIR}/manage_listen_load.cpp)
  target_link_libraries(vesk_listen_load PRIVATE vesk_manage_parts)
  vesk_set_warnings(vesk_listen_load)
endif()
