#!/usr/bin/env bash
# The install tree: the service with its plug-in folders, the module headers
# and the pkg-config file; the module guide's minimal module builds against
# the installed headers, loads into the installed service and receives a
# notice; the systemd unit passes systemd-analyze where it can run.
# Usage: install_test.sh <build dir> <source dir>
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/tree" cmake --install "$build" >/dev/null
root="$work/tree/usr"
for f in lib/orvantis/orvantisd lib/orvantis/plugins/camera.so lib/orvantis/plugins/recorder.so \
         lib/orvantis/plugins/console.so include/orvantis/modules/module_api.h \
         include/orvantis/routing/message_api.h share/pkgconfig/orvantis-module.pc \
         lib/systemd/system/orvantisd.service; do
  [[ -e "$root/$f" ]] || fail "missing $f in the install tree"
done
[[ -d "$root/lib/orvantis/protected-plugins" ]] || fail "missing protected-plugins"
[[ -x "$root/lib/orvantis/orvantisd" ]] || fail "orvantisd is not executable"

export PKG_CONFIG_PATH="$root/share/pkgconfig"
cflags=$(pkg-config --cflags orvantis-module)
plugindir=$(pkg-config --variable=plugindir orvantis-module)
[[ "$(realpath "$plugindir")" == "$(realpath "$root/lib/orvantis/plugins")" ]] || fail "plugindir is $plugindir"

# The guide's minimal module, exactly as the guide shows it.
sed -n '/<!-- minimal-module -->/,/^```$/p' "$source/docs/modules.md" | sed '1,2d;$d' > "$work/minimal.c"
[[ -s "$work/minimal.c" ]] || fail "no minimal module found in the guide"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -Werror -shared -fPIC $cflags -o "$work/minimal.so" "$work/minimal.c" \
  || fail "the guide's minimal module does not build against the installed headers"
cp "$work/minimal.so" "$plugindir/"

mkdir -p "$work/home"
out=$(cd "$root/lib/orvantis" && HOME="$work/home" timeout 30 ./orvantisd -d </dev/null 2>&1) \
  || fail "the installed service failed: $out"
grep -q '^minimal: notice of [0-9]* bytes$' <<<"$out" || fail "the minimal module got no notice: $out"
[[ -s "$root/lib/orvantis/plugins.xml" ]] || fail "no plugins.xml beside the installed service"
grep -q 'Filename="minimal.so"' "$root/lib/orvantis/plugins.xml" || fail "minimal.so not listed in plugins.xml"

if command -v systemd-analyze >/dev/null; then
  unit=/lib/systemd/system/orvantisd.service
  report=$(systemd-analyze verify --root="$work/tree" "$unit" 2>&1 || true)
  # A machine without systemd has no sysinit.target to order the unit after;
  # any other complaint is about the unit itself.
  problems=$(grep -v -e 'sysinit.target not found' <<<"$report" | grep -v '^$' || true)
  [[ -z "$problems" ]] || fail "systemd-analyze: $problems"
fi
grep -q '^Type=forking$' "$root/lib/systemd/system/orvantisd.service" || fail "unit is not forking"
grep -q '^PIDFile=/run/orvantisd.pid$' "$root/lib/systemd/system/orvantisd.service" || fail "unit has no PID file"
grep -q '^ExecStart=/usr/lib/orvantis/orvantisd$' "$root/lib/systemd/system/orvantisd.service" || fail "ExecStart"
echo "install tree ok"
