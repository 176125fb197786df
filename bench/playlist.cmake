# Schedule generator: the incremental path of next() and the full computation.
if(TARGET vesk_playlist)
  vesk_add_benchmark(vesk_playlist_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/playlist_generator.cpp
    LIBS Vesk::playlist Qt6::Core)
endif()
