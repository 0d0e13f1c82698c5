# Shared settings of the Wine test harness; sourced by the other harness scripts.
#
# Layout under XA_WINE_ROOT:
#   templates/<kind>/   finished prefix templates, owned by root and read-only to the test user
#   run/                one prefix per running test, made from a template
#   failed/             prefixes of failed tests, kept for a look
# A kind is <arch>-<version>: win32-win7, win32-win98, win32-nt40, win64-win7 ...

XA_WINE_USER=${XA_WINE_USER:-xatest}
if [ "$(id -u)" -eq 0 ]; then
  XA_WINE_ROOT=${XA_WINE_ROOT:-/var/tmp/xasetup-wine}
  xa_wine_home=$(getent passwd "$XA_WINE_USER" | cut -d: -f6)
else
  # Not root: Wine runs as the current user and prefixes are full copies.
  XA_WINE_ROOT=${XA_WINE_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/xasetup-wine}
  XA_WINE_USER=$(id -un)
  xa_wine_home=$HOME
fi

# Wine's .NET and browser add-ons would be offered for download, and the desktop-menu builder
# writes into the user's home; none of them belongs in a test.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEDEBUG=${WINEDEBUG:--all}

# Runs a command as the Wine user with the given prefix.
xa_as_wine_user() {
  local prefix=$1; shift
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$XA_WINE_USER" -- env HOME="$xa_wine_home" USER="$XA_WINE_USER" \
      WINEPREFIX="$prefix" WINEDLLOVERRIDES="$WINEDLLOVERRIDES" WINEDEBUG="$WINEDEBUG" "$@"
  else
    env WINEPREFIX="$prefix" "$@"
  fi
}

xa_kind_arch() { echo "${1%%-*}"; }
xa_kind_version() { echo "${1#*-}"; }
