# Toolchain of the wheels' extension: zig's clang and libc++ (cmake/zig-c++) against glibc
# 2.17, for the manylinux_2_17 tag, on x86_64 or (PELARUNE_WHEEL_ARCH=aarch64 in the
# environment) aarch64; libc++ is linked statically, so the extension needs no libstdc++ from
# the system. The dependencies' headers come from a folder holding only them, and their
# libraries from one per machine (make wheel fills both): /usr/include would put the machine's
# newer glibc headers before the target's, and the libraries are auditwheel's to copy into the
# wheel.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
if(DEFINED ENV{PELARUNE_WHEEL_ARCH})
  set(PELARUNE_WHEEL_ARCH $ENV{PELARUNE_WHEEL_ARCH})
else()
  set(PELARUNE_WHEEL_ARCH x86_64)
endif()
get_filename_component(PELARUNE_MANYLINUX ${CMAKE_CURRENT_LIST_DIR}/../build/manylinux ABSOLUTE)
set(CMAKE_LIBRARY_ARCHITECTURE ${PELARUNE_WHEEL_ARCH}-linux-gnu)
set(CMAKE_LIBRARY_PATH ${PELARUNE_MANYLINUX}/lib/${PELARUNE_WHEEL_ARCH})
foreach(variable PELARUNE_ISAL_INCLUDE_DIR PELARUNE_RapidJSON_INCLUDE_DIR ZLIB_INCLUDE_DIR
                 BZIP2_INCLUDE_DIR)
  set(${variable} ${PELARUNE_MANYLINUX}/include CACHE PATH "" FORCE)
endforeach()
# As fast as the source build (GCC's -O3): zig hands clang -O2 for any -O level, keeps frame
# pointers and adds debug information unless told otherwise; -Xclang -O3 comes after its -O2.
# glibc 2.17's headers predate MADV_POPULATE_WRITE (Linux 5.14), which the record store asks
# for where it is named: the kernel the wheel runs on decides, and an older one refuses it
# harmlessly. The source folder (pip's, a random one) is cut from __FILE__, so that two builds
# of one sdist are byte-identical.
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer -g0 -Xclang -O3 -DMADV_POPULATE_WRITE=23 \
-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")
# Debian's CPythons (the chroots' 3.14 and 3.15) keep pyconfig.h in the machine's multiarch
# folder, which their Python.h names by the target's machine: a folder holding only those is
# searched last. An aarch64 build takes the x86_64 one, as with every other CPython (see
# scripts/build_wheel.sh).
file(GLOB PELARUNE_PYCONFIGS /usr/include/x86_64-linux-gnu/python3*)
if(PELARUNE_PYCONFIGS)
  file(COPY ${PELARUNE_PYCONFIGS}
       DESTINATION ${CMAKE_BINARY_DIR}/pyconfig/${PELARUNE_WHEEL_ARCH}-linux-gnu)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${CMAKE_BINARY_DIR}/pyconfig")
endif()
# Stripped, the extension is 1 MB instead of 9. The build-id names the build for debuggers and
# crash reports; it is a hash of the output, so it is reproducible too.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s -Wl,--build-id=sha1")
