# Benchmarks of libvesk_log. Run them in a Release tree without the sanitizers, e.g.
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_BENCHMARKS=ON \
#     -DVESK_BUILD_TESTS=OFF -DVESK_COMPONENTS=log
#   cmake --build build-bench --target vesk_log_bench && build-bench/bin/vesk_log_bench
if(TARGET vesk_log)
  vesk_add_benchmark(vesk_log_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_fileappender.cpp
    LIBS Vesk::log)
endif()
