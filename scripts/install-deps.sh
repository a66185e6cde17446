#!/usr/bin/env bash
# Installs the Debian packages that building and testing orvantisd needs.
# A no-op (a few dpkg queries) when everything is already present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libwxgtk3.2-dev
  libdaemon-dev
  libtinyxml-dev
  libboost-filesystem-dev libboost-system-dev
  libgoogle-perftools-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 util-linux
  systemd
  lintian
  ccache
  ffmpeg libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libsqlite3-dev
  gstreamer1.0-rtsp gir1.2-gst-rtsp-server-1.0 python3-gi
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  libmicrohttpd-dev libcrypt-dev prometheus curl openssl
  chromium chromium-driver python3-selenium
  libzmq3-dev
  libmosquitto-dev mosquitto mosquitto-clients
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages and not root: run 'sudo apt-get install ${missing[*]}'" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# promtool, which checks the metrics exporter's page, comes only with Debian's
# Prometheus server, and installing that must neither start nor enable the
# server. While apt runs, a policy-rc.d (unless the machine has one) denies
# every start: invoke-rc.d and deb-systemd-invoke ask it first. Afterwards
# the server is disabled, so no boot starts it.
policy=/usr/sbin/policy-rc.d
if [[ ! -e $policy ]]; then
  trap 'rm -f "$policy"' EXIT
  trap 'exit 130' INT TERM HUP
  printf '#!/bin/sh\n# installing orvantisd build dependencies: no service starts\nexit 101\n' > "$policy"
  chmod 755 "$policy"
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [[ " ${missing[*]} " == *" prometheus "* ]]; then
  update-rc.d prometheus disable  # the init script's links and, through systemctl, the unit
fi
# Likewise the MQTT broker: its tests start their own, on loopback.
if [[ " ${missing[*]} " == *" mosquitto "* ]]; then
  update-rc.d mosquitto disable
fi
