#!/bin/sh
# Make sure the Debian packages of apt-packages.txt that the given groups
# need are installed: as root by apt-get, otherwise by telling the operator
# the one command to run.  Without dpkg the system is not Debian-like and
# its packages are the operator's business.
set -eu
list="$(dirname "$0")/../apt-packages.txt"
command -v dpkg-query >/dev/null 2>&1 || exit 0

wanted=$(awk -v groups=" $* " '
    /^[ \t]*(#|$)/ { next }
    NF == 1 { print $1; next }
    { for (i = 2; i <= NF; i++) if (index(groups, " " $i " ")) { print $1; next } }
' "$list")

missing=""
for package in $wanted; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing="$missing $package"
done
[ -n "$missing" ] || exit 0

command="apt-get install -y --no-install-recommends$missing"
if [ "$(id -u)" != 0 ]; then
    echo "Missing Debian packages:$missing" >&2
    echo "Install them as root, then run make again:" >&2
    echo "    $command" >&2
    exit 1
fi
echo "Installing Debian packages:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
$command -q
