# deps.sh: need_packages installs the Debian packages that are missing (as root, or via sudo).
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  # A package of a foreign architecture (wine32:i386, libmpfr-dev:arm64) needs that
  # architecture added first.
  for p in "${missing[@]}"; do
    if [[ "$p" == *:* ]]; then
      local arch="${p##*:}"
      if [ "$arch" != "$(dpkg --print-architecture)" ] &&
        ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $sudo dpkg --add-architecture "$arch"
        SWMA_APT_UPDATED=""
      fi
    fi
  done
  # One package list update per run of the script, unless an architecture came in since.
  if [ -z "${SWMA_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    SWMA_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
