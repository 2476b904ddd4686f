# Cross-compiling for 64-bit ARM Linux (Debian arm64) on a Debian machine of another
# architecture: `make build ARCH=arm64`, or cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake.
# The compiler is Debian's g++-aarch64-linux-gnu; OpenSSL, zlib and GoogleTest are the arm64
# multiarch packages (libssl-dev:arm64, zlib1g-dev:arm64, libgtest-dev:arm64) under
# /usr/lib/aarch64-linux-gnu and /usr/include/aarch64-linux-gnu, which that compiler searches
# by itself. Programs built here run on this machine under qemu-aarch64-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The architecture name in the Debian package (cmake/package.cmake).
set(TESSARIN_DEB_ARCHITECTURE arm64)

# With the library architecture set, find_library and find_package look in
# /usr/lib/aarch64-linux-gnu (never in the host's own multiarch directory); build-time tools
# (scdoc, python3) and architecture-independent packages (nlohmann_json) are the host's.
# pkg-config (FindOpenSSL asks it for hints) reads the arm64 .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# How this machine runs what is built (statically linked): the tests run the program and the
# unit tests through it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
