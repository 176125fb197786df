# Benchmarks of libvesk_utils and of the stream (libvesk_transport, libvesk_stream). Run them in a Release tree without the
# sanitizers, e.g.
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_BENCHMARKS=ON \
#     -DVESK_BUILD_TESTS=OFF -DVESK_COMPONENTS="log;utils;playlist;format;transport;stream"
#   cmake --build build-bench --target vesk_utils_bench vesk_stream_bench
#   build-bench/bin/vesk_utils_bench && build-bench/bin/vesk_stream_bench
if(TARGET vesk_utils)
  vesk_add_benchmark(vesk_utils_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/utils_bench.cpp
    LIBS Vesk::utils Qt6::Core)
endif()
if(TARGET vesk_stream)
  vesk_add_benchmark(vesk_stream_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/utils_stream.cpp
    LIBS Vesk::stream Vesk::transport Vesk::utils Qt6::Core)
  # The MAC of one interval is the transport's own.
  target_include_directories(vesk_stream_bench PRIVATE ${PROJECT_SOURCE_DIR}/transport/src)
endif()
