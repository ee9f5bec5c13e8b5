# Sourced by the test scripts: install_missing PACKAGE... installs the Debian packages a
# script found missing when it runs as root, and otherwise stops it naming them.
install_missing() {
    [ $# -gt 0 ] || return 0
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
    else
        echo "missing Debian packages: $* (run as root to install them)" >&2
        exit 1
    fi
}
