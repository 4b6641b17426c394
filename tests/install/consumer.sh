#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs a C program
# against it through pkg-config and a CMake project through find_package.
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name inkport.pc -printf '%h\n' | head -n 1)
export PKG_CONFIG_PATH="$libdir"
cc -Wall -Wextra -Werror -o "$prefix/hello" "$src/examples/hello.c" $(pkg-config --cflags --libs inkport) \
   ${SANITIZER_FLAGS:-}
LD_LIBRARY_PATH="$(dirname "$libdir")" "$prefix/hello" | grep 'type:    libinkport' >/dev/null
# The header also compiles as C++.
printf '#include <inkport/inkport.h>\nint main() { return IsInitialized() ? 1 : 0; }\n' > "$prefix/t.cpp"
c++ -Wall -Wextra -Werror -c "$prefix/t.cpp" -o "$prefix/t.o" $(pkg-config --cflags inkport)
# The installed bridge finds the reference agent in its own folder, with
# nothing on LD_LIBRARY_PATH but the libraries; the agent's protocol header is C.
if [ -e "$build/agent/libinkagent.so" ]; then
  printf '#include <netbridge/netbridge.h>\nint main(void) { return LoadTheMediatorDLLInterface() && FreeTheMediatorDLLInterface() ? 0 : 1; }\n' > "$prefix/a.c"
  cc -Wall -Wextra -Werror -o "$prefix/a" "$prefix/a.c" $(pkg-config --cflags --libs netbridge) ${SANITIZER_FLAGS:-}
  # A sanitizer runtime intercepts dlopen and so becomes the caller whose run
  # path the loader searches; there the folder has to be named.
  agent_path=${SANITIZER_FLAGS:+:$(dirname "$libdir")/inkport}
  LD_LIBRARY_PATH="$(dirname "$libdir")$agent_path" "$prefix/a" >/dev/null
  printf '#include <inkagent/protocol.h>\nint main(void) { return (int)INKAGENT_MESSAGE_FUNCTION(INKAGENT_FN_SAY_HELLO) - 0x1E; }\n' > "$prefix/p.c"
  cc -std=c99 -pedantic -Wall -Wextra -Werror -I"$prefix/include" -o "$prefix/p" "$prefix/p.c"
  "$prefix/p"
fi

mkdir -p "$prefix/proj"
cat > "$prefix/proj/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(inkport REQUIRED)
add_executable(hello $src/examples/hello.c)
target_link_libraries(hello PRIVATE inkport::inkport)
CM
cmake -S "$prefix/proj" -B "$prefix/proj/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_EXE_LINKER_FLAGS="${SANITIZER_FLAGS:-}" >/dev/null
cmake --build "$prefix/proj/build" >/dev/null
LD_LIBRARY_PATH="$(dirname "$libdir")" "$prefix/proj/build/hello" | grep 'pads found: 0' >/dev/null
echo "consumers built and ran against $prefix"
