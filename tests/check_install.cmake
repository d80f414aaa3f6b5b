# check_install.cmake: installs the build into a fresh prefix, then builds and runs a tiny
# consumer against it twice, through find_package and through pkg-config, and makes the
# cpack archive. Needs BUILD, SOURCE, WORK, GENERATOR; CC, the build's C compiler (else cc).
# A cross build also passes TOOLCHAIN, its toolchain file, and EMU, the emulator that runs
# its programs: the consumers are built with the same tool chain and run through EMU.
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
macro(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endmacro()
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
foreach(f include/sinewma.h bin/sinewma lib/pkgconfig/sinewma.pc lib/cmake/sinewma/sinewmaConfig.cmake
          lib/cmake/sinewma/sinewmaConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# Move the tree: both the CMake package and the .pc file must be relocatable.
file(RENAME ${prefix} ${WORK}/moved)
set(prefix ${WORK}/moved)

if(NOT CC)
  set(CC cc)
endif()
set(toolchain "")
if(TOOLCHAIN)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()

run(${CMAKE_COMMAND} -S ${SOURCE}/tests/consumer -B ${WORK}/cmake-consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} ${toolchain})
run(${CMAKE_COMMAND} --build ${WORK}/cmake-consumer)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${EMU} ${WORK}/cmake-consumer/consumer)
message(STATUS "find_package consumer: ${out}")

run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig pkg-config --cflags --libs sinewma)
string(STRIP "${out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CC} ${SOURCE}/tests/consumer/consumer.c ${flags} -o ${WORK}/pc-consumer)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${EMU} ${WORK}/pc-consumer)
message(STATUS "pkg-config consumer: ${out}")

# The installed host finds the installed library by itself.
run(${EMU} ${prefix}/bin/sinewma --period 3 ${SOURCE}/data/sunspots.csv)

run(${CMAKE_COMMAND} -E chdir ${BUILD} cpack -B ${WORK}/package)
file(GLOB archives ${WORK}/package/*.tar.gz)
if(NOT archives)
  message(FATAL_ERROR "cpack made no tarball")
endif()
run(tar tzf ${archives})
foreach(f include/sinewma.h bin/sinewma lib/libsinewma.so)
  if(NOT out MATCHES "${f}")
    message(FATAL_ERROR "the tarball lacks ${f}:\n${out}")
  endif()
endforeach()
message(STATUS "package: ${archives}")

# The .pc's libdir is a clean path to the library, and a consumer linked with an rpath to it
# runs without LD_LIBRARY_PATH, as the README tells pkg-config users.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
    pkg-config --variable=libdir sinewma)
string(STRIP "${out}" pc_libdir)
if(pc_libdir MATCHES "//" OR NOT EXISTS ${pc_libdir}/libsinewma.so)
  message(FATAL_ERROR "bad libdir in sinewma.pc: '${pc_libdir}'")
endif()
run(${CC} ${SOURCE}/tests/consumer/consumer.c ${flags} -Wl,-rpath,${pc_libdir} -o ${WORK}/rpath-consumer)
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${EMU} ${WORK}/rpath-consumer)
message(STATUS "pkg-config consumer with rpath: ${out}")

# lib64 and other library folders: a build configured with its own CMAKE_INSTALL_LIBDIR,
# installed, must give a host that finds its library there by itself (the folder below is
# neither lib nor lib64, so only the path compiled in from GNUInstallDirs can find it).
file(STRINGS ${BUILD}/CMakeCache.txt cache REGEX "^CMAKE_(TOOLCHAIN_FILE|C_COMPILER|CXX_COMPILER|MAKE_PROGRAM):")
set(toolchain "")
set(compilers "")
foreach(line IN LISTS cache)
  string(REGEX REPLACE "^([A-Z_]+):[A-Z]+=(.*)$" "\\1;\\2" pair "${line}")
  list(GET pair 0 key)
  list(GET pair 1 value)
  if(key STREQUAL "CMAKE_TOOLCHAIN_FILE")
    set(toolchain "${value}")
  elseif(value)
    list(APPEND compilers "-D${key}=${value}")
  endif()
endforeach()
if(toolchain)
  message(STATUS "libdir check skipped: a cross build (${toolchain})")
else()
  set(libdir_build ${WORK}/libdir-build)
  run(${CMAKE_COMMAND} -S ${SOURCE} -B ${libdir_build} -G ${GENERATOR} ${compilers}
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_LIBDIR=lib64/sinewma -DSINEWMA_TESTS=OFF
      -DSINEWMA_BENCH=OFF)
  run(${CMAKE_COMMAND} --build ${libdir_build} --target sinewma_host sinewma)
  run(${CMAKE_COMMAND} --install ${libdir_build} --prefix ${WORK}/libdir-prefix)
  if(NOT EXISTS ${WORK}/libdir-prefix/lib64/sinewma/libsinewma.so.1)
    message(FATAL_ERROR "not installed: lib64/sinewma/libsinewma.so.1")
  endif()
  run(${WORK}/libdir-prefix/bin/sinewma --version)
  if(NOT out MATCHES "library: [^\n]*/lib64/sinewma/libsinewma.so.1\n")
    message(FATAL_ERROR "the installed host did not load the installed library:\n${out}")
  endif()
  run(${WORK}/libdir-prefix/bin/sinewma --period 3 ${SOURCE}/data/sunspots.csv)
  message(STATUS "installed with CMAKE_INSTALL_LIBDIR=lib64/sinewma: the host finds its library")
endif()
