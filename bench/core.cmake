# Content synchronisation of a large delivery against the shell tools doing the same work.
if(TARGET vesk_core)
  vesk_add_benchmark(vesk_core_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_sync.cpp
    LIBS Vesk::core Vesk::utils Vesk::log Qt6::Core)
endif()
