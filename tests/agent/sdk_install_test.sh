#!/bin/sh
# The agent SDK as an outside project meets it: install the "sdk" component
# into a scratch DESTDIR, then build examples/agent-hello from the installed
# files alone, once with pkg-config and once with a CMake find_package
# project. usage: sdk_install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
work=$(mktemp -d /tmp/sdk_install_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

DESTDIR="$work/stage" cmake --install "$build" --component sdk >/dev/null
# The prefix is whatever the build was configured with: find it from where
# the pc file landed (<prefix>/lib/pkgconfig/dsagent.pc).
pc=$(find "$work/stage" -name dsagent.pc | head -n 1)
[ -n "$pc" ] || fail "the sdk component installed no dsagent.pc"
root=$(dirname "$(dirname "$(dirname "$pc")")")
# Nothing of the source tree but the example's one file.
cp "$source/examples/agent-hello/hello.c" "$work/hello.c"

# The header stands alone under strict C11.
printf '#include <dsagent.h>\nint main(void) { return dsagent_install_dir() == 0; }\n' >"$work/alone.c"
export PKG_CONFIG_PATH="$root/lib/pkgconfig"
cc -std=c11 -pedantic -Wall -Wextra -Werror -o "$work/alone" "$work/alone.c" $(pkg-config --cflags --libs dsagent)

# pkg-config, exactly as the guide shows it, and once more under strict C11.
cc -o "$work/hello-pc" "$work/hello.c" $(pkg-config --cflags --libs dsagent)
cc -std=c11 -pedantic -Wall -Wextra -Werror -o "$work/hello-c11" "$work/hello.c" $(pkg-config --cflags --libs dsagent)

# CMake: find_package(dsagent) and its imported target.
mkdir "$work/outside"
cp "$work/hello.c" "$work/outside/hello.c"
cat >"$work/outside/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(outside C)
find_package(dsagent 1.0 REQUIRED)
add_executable(agent-hello hello.c)
target_link_libraries(agent-hello PRIVATE dsagent::dsagent)
add_executable(agent-hello-shared hello.c)
target_link_libraries(agent-hello-shared PRIVATE dsagent::dsagent_shared)
CMAKE
env -u CMAKE_C_COMPILER_LAUNCHER cmake -S "$work/outside" -B "$work/outside/build" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/outside/build" >/dev/null

# No libstdc++ anywhere: not on pkg-config's link line, not needed by the
# programs or by the shared library, which carries its soname.
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
case "$(pkg-config --libs dsagent)" in *stdc++*) fail "pkg-config links libstdc++" ;; esac
shared="$root/lib/libdsagent.so.1"
readelf -d "$shared" | grep -q 'Library soname: \[libdsagent.so.1\]' || fail "$shared has no soname libdsagent.so.1"
! needed "$shared" | grep -q 'libstdc++' || fail "$shared needs libstdc++"
needed "$work/outside/build/agent-hello-shared" | grep -qx 'libdsagent.so.1' ||
    fail "agent-hello-shared does not use the shared library"
# The programs need no libstdc++, and they run: without arguments the agent
# prints its usage and exits 2.
for agent in "$work/hello-pc" "$work/hello-c11" "$work/outside/build/agent-hello" \
             "$work/outside/build/agent-hello-shared"; do
    ! needed "$agent" | grep -q 'libstdc++' || fail "$agent needs libstdc++"
    status=0
    "$agent" >/dev/null 2>&1 || status=$?
    [ "$status" -eq 2 ] || fail "$agent: exit status $status, expected the usage's 2"
done
echo "agent-hello built from the installed SDK with pkg-config and find_package, static and shared, without libstdc++"
