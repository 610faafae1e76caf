# Toolchain of the wheels' extension: zig's clang and libc++ (cmake/zig-c++) against glibc
# 2.17, for the manylinux_2_17 tag; libc++ is linked statically, so the extension needs no
# libstdc++ from the system. The dependencies' headers come from a folder holding only them
# (make wheel fills it): /usr/include would put the machine's newer glibc headers before the
# target's.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
get_filename_component(PELARUNE_DEPENDENCY_HEADERS
  ${CMAKE_CURRENT_LIST_DIR}/../build/manylinux/include ABSOLUTE)
# The libraries are the machine's (auditwheel copies ISA-L and libbzip2 into the wheel); zig's
# clang does not name Debian's multiarch folder they are in, as the system compiler does.
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
foreach(variable PELARUNE_ISAL_INCLUDE_DIR PELARUNE_RapidJSON_INCLUDE_DIR ZLIB_INCLUDE_DIR
                 BZIP2_INCLUDE_DIR)
  set(${variable} ${PELARUNE_DEPENDENCY_HEADERS} CACHE PATH "" FORCE)
endforeach()
# As fast as the source build (GCC's -O3): zig hands clang -O2 for any -O level, keeps frame
# pointers and adds debug information unless told otherwise; -Xclang -O3 comes after its -O2.
# glibc 2.17's headers predate MADV_POPULATE_WRITE (Linux 5.14), which the record store asks
# for where it is named: the kernel the wheel runs on decides, and an older one refuses it
# harmlessly.
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer -g0 -Xclang -O3 -DMADV_POPULATE_WRITE=23")
# Stripped, the extension is 1 MB instead of 9.
set(CMAKE_MODULE_LINKER_FLAGS_INIT -s)
