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

# Fills the empty folder prefix from a template. As root: real copies of everything small
# (registry, profile, folders) owned by the Wine user, and hard links to the system folders,
# whose files stay root-owned and read-only to that user, so that nothing can write into the
# template through them (only the folders are the user's, to add and remove files). Otherwise a
# full copy.
xa_make_prefix() {
  local template=$1 prefix=$2 folder big=()
  if [ "$(id -u)" -ne 0 ]; then
    cp -a "$template/." "$prefix/"
    return
  fi
  for folder in drive_c/windows/system32 drive_c/windows/syswow64; do
    [ -d "$template/$folder" ] && big+=("$folder")
  done
  tar -C "$template" "${big[@]/#/--exclude=./}" -cf - . | tar -C "$prefix" -xf -
  # Ownership first: a recursive chown after the links would give the template's files away.
  chown -R "$XA_WINE_USER" "$prefix"
  for folder in "${big[@]}"; do
    cp -al "$template/$folder" "$prefix/$(dirname "$folder")/"
    find "$prefix/$folder" -type d -exec chown "$XA_WINE_USER" {} +
  done
}

xa_kind_arch() { echo "${1%%-*}"; }
xa_kind_version() { echo "${1#*-}"; }
