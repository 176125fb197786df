# Request parsing, response writing and a whole loopback round trip of libvesk_httpserver.
if(TARGET vesk_httpserver)
  vesk_add_benchmark(vesk_httpserver_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/httpserver_bench.cpp
    LIBS Vesk::httpserver Vesk::log Qt6::Network)
endif()
