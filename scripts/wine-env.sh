# Sourced: a fresh 32-bit Wine prefix for this run, with a persistent
# wineserver (otherwise every captured run waits ~2.5 s for Wine's services
# to close the pipes). The prefix and the server go away when the shell exits.
wine_root=$(mktemp -d /tmp/pyrel-wine.XXXXXX)
export WINEPREFIX=$wine_root/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH DISPLAY WAYLAND_DISPLAY
wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$wine_root"
}
trap wine_stop EXIT
(cd "$wine_root" && wineboot -i >/dev/null 2>&1)
wineserver -p
(cd "$wine_root" && wine cmd /c exit >/dev/null 2>&1) || true
