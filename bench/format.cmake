# Throughput of the media message library against memcpy of the same bytes.
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_BENCHMARKS=ON
#   cmake --build build-bench --target vesk_format_bench && build-bench/bin/vesk_format_bench
if(TARGET Vesk::format)
  vesk_add_benchmark(vesk_format_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/format_codec.cpp
    LIBS Vesk::format Vesk::log Qt6::Core)
endif()
