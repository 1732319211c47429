# shellcheck shell=bash
# Reading the deployment files (Info.conf, Identity.conf: "Key = value" lines). Sourced by scripts/run
# and the packaged launcher of the local services.

# conf KEY FILE: the value of the last KEY line, without quotes.
conf() {
    sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*//p" "$2" | tail -n 1 | tr -d '"\r'
}

# loopback_port ADDRESS: the port of "127.0.0.1:8443" or "localhost:8443" (https:// before it and a
# path after it allowed); nothing for an address elsewhere.
loopback_port() {
    local rest=${1#https://}
    case "$rest" in
    127.0.0.1:* | localhost:*) rest=${rest#*:} && echo "${rest%%/*}" ;;
    esac
}
