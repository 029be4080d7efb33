# Shared by the scripts that run the service against the NVR peer (demo, soak,
# valgrind).  Source it after changing to the repository root.

# Installs what the build needs, then builds the service and the peer in
# $BUILD_DIR (default build).
lv_build() {
  scripts/setup
  BUILD_DIR=${BUILD_DIR:-build}
  cmake -S . -B "$BUILD_DIR" >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target TessarinLumivar nvrpeer >/dev/null
}

# lv_tempdir NAME: prints a new folder /tmp/lumivar-NAME.XXXXXX.
lv_tempdir() {
  mktemp -d "/tmp/lumivar-$1.XXXXXX"
}

# lv_workspace DIR: makes DIR/data the service's data root (PROGRAMDATA), sets
# PORT to a free port on 127.0.0.1 and writes a settings file that points the
# service there.
lv_workspace() {
  export PROGRAMDATA="$1/data"
  local folder="$PROGRAMDATA/Tessarin/Lumivar"
  mkdir -p "$folder"
  PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  # The service trusts only settings that group and others cannot write.
  chmod go-w "$folder"
  (umask 077 && printf '[NVR]\nAddress=127.0.0.1\nPort=%s\n' "$PORT" >"$folder/Settings")
  chmod 600 "$folder/Settings"
}
