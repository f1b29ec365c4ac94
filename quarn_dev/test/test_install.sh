#!/bin/bash
# Builds an install space of the workspace as README.md says and uses it from outside the source tree, with
# nothing of a build tree in the environment: every package resolves into the install space, roslaunch finds
# the launch files there, a downstream package builds against the installed library and messages, and the
# installed node, started by the installed launch file on its example configuration against a private master,
# answers a navigation message.
#
#   test_install.sh WORKSPACE_SOURCE_DIR [SCRATCH_DIR]
#
# The scratch directory (default: a new one in TMPDIR) holds the build tree, the install space and the logs;
# it is removed after a success.
set -euo pipefail

source_dir=$(cd "$1" && pwd)
scratch=${2:-$(mktemp -d "${TMPDIR:-/tmp}/quarn_install.XXXXXX")}
rm -rf "$scratch" && mkdir -p "$scratch"
prefix=$scratch/install
launch_pid=

finish() {
  local status=$?
  if [ -n "$launch_pid" ] && kill -0 -- "-$launch_pid" 2>/dev/null; then
    kill -INT -- "-$launch_pid"
    for _ in $(seq 100); do kill -0 -- "-$launch_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$launch_pid" 2>/dev/null || true
  fi
  if [ "$status" -eq 0 ]; then
    rm -rf "$scratch"
  else
    echo "FAILED; build tree, install space and logs kept in $scratch" >&2
  fi
}
trap finish EXIT

step() { echo "--- $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "configure and install into $prefix"
cmake -S "$source_dir" -B "$scratch/build" -DCMAKE_INSTALL_PREFIX="$prefix" -DCATKIN_ENABLE_TESTING=OFF \
      -DPYTHON_EXECUTABLE=/usr/bin/python3 >"$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; exit 1; }
cmake --build "$scratch/build" --target install -j2 >"$scratch/install.log" 2>&1 || { tail -50 "$scratch/install.log"; exit 1; }
# The install space must work on its own.
rm -rf "$scratch/build"

# A clean environment, from outside the source tree: only the install space's setup.
cd "$scratch"
master=
in_install_space() {
  env -i HOME="$scratch" PATH=/usr/bin:/bin ROS_HOME="$scratch/ros_home" ROS_LOG_DIR="$scratch/ros_log" \
      ROS_HOSTNAME=127.0.0.1 ROS_MASTER_URI="$master" ROSCONSOLE_STDOUT_LINE_BUFFERED=1 \
      bash -c "source '$prefix/setup.bash' || exit 1
               $1"
}

step "rospack finds every package in the install space"
for package in quarn_common quarn_lib quarn_dev quarn_sim; do
  found=$(in_install_space "rospack find $package")
  [ "$found" = "$prefix/share/$package" ] || fail "rospack find $package: '$found'"
done

step "roslaunch resolves the launch files in the install space"
files=$(in_install_space "roslaunch --files quarn_sim hover_lock_sim.launch")
for file in share/quarn_sim/launch/hover_lock_sim.launch share/quarn_dev/launch/hover_lock.launch; do
  grep -qxF "$prefix/$file" <<<"$files" || fail "roslaunch --files lacks $prefix/$file: $files"
done
for file in lib/quarn_dev/hover_lock lib/quarn_sim/vehicle_sim include/quarn_xml/XmlParamMapper.h \
            include/quarn_dev/hover_lock_core.h share/quarn_dev/config/hover_lock_mode1.xml \
            share/quarn_dev/config/rosconsole_quiet.conf share/quarn_sim/demo/run_demo.py; do
  [ -e "$prefix/$file" ] || fail "not installed: $prefix/$file"
done

step "a downstream package builds against the installed library and messages"
mkdir -p "$scratch/downstream/src"
cat >"$scratch/downstream/package.xml" <<'END'
<?xml version="1.0"?>
<package format="2">
  <name>downstream</name>
  <version>0.0.0</version>
  <description>Uses the installed quarn_lib and quarn_common.</description>
  <maintainer email="nobody@example.com">nobody</maintainer>
  <license>none</license>
  <buildtool_depend>catkin</buildtool_depend>
  <depend>quarn_lib</depend>
  <depend>quarn_common</depend>
</package>
END
cat >"$scratch/downstream/CMakeLists.txt" <<'END'
cmake_minimum_required(VERSION 3.10)
project(downstream)
set(CMAKE_CXX_STANDARD 17)
find_package(catkin REQUIRED COMPONENTS quarn_lib quarn_common)
catkin_package()
include_directories(${catkin_INCLUDE_DIRS})
add_executable(downstream src/main.cpp)
target_link_libraries(downstream ${catkin_LIBRARIES})
END
cat >"$scratch/downstream/src/main.cpp" <<'END'
#include <quarn_common/BhResponse.h>
#include <quarn_xml/XmlParamMapper.h>

struct Config
{
  int mode = 0;
};

int main()
{
  quarn::xml::XmlParamMapper<Config> mapper;
  mapper.mapItem("mode", &Config::mode);
  mapper.loadXmlString("<!-- c --><r><mode type=\"integer\" value=\"1\"/></r>");
  return mapper.data().mode == 1 && quarn_common::BhResponse().priority == 0 ? 0 : 1;
}
END
in_install_space "cmake -S '$scratch/downstream' -B '$scratch/downstream/build' -DPYTHON_EXECUTABLE=/usr/bin/python3 &&
                  cmake --build '$scratch/downstream/build' &&
                  '$scratch/downstream/build/devel/lib/downstream/downstream'" >"$scratch/downstream.log" 2>&1 ||
  fail "downstream package: $(tail -30 "$scratch/downstream.log")"

step "the Python messages import from the install space"
in_install_space "python3 -c 'from quarn_common.msg import BhResponse, NavigationData, VisualServoingData'"

step "the installed node answers on a private master"
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
master=http://127.0.0.1:$port
# roslaunch starts the master on that port, in a process group of its own (job control) that is stopped whole.
set -m
in_install_space "exec roslaunch -p $port quarn_dev hover_lock.launch" >"$scratch/launch.log" 2>&1 &
launch_pid=$!
set +m
for _ in $(seq 300); do
  grep -q "config file = " "$scratch/launch.log" && break
  kill -0 "$launch_pid" 2>/dev/null || fail "roslaunch ended: $(cat "$scratch/launch.log")"
  sleep 0.1
done
grep -q "config file = " "$scratch/launch.log" || fail "the node did not start: $(cat "$scratch/launch.log")"
# The example holds (0, 0, 2) with proportional gain 2.5 on x: one metre behind it, x is commanded the limit, 1.
# Navigation data goes out at 5 Hz until the first response has been read.
answer=$(in_install_space "rostopic pub -r 5 /navigator_data quarn_common/NavigationData \
  '{pose: [-1, 0, 2, 0, 0, 0]}' >/dev/null 2>&1 & publisher=\$!
  timeout 60 rostopic echo -n 1 /behavior_response/twist/linear/x; status=\$?
  kill -KILL \$publisher; exit \$status") || fail "no response: $(cat "$scratch/launch.log")"
grep -qx "1.0" <<<"$answer" || fail "x command '$answer' instead of 1.0"
echo "install space $prefix works"
