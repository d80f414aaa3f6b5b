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
  for p in "${missing[@]}"; do
    if [[ "$p" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -q i386; then
      $sudo dpkg --add-architecture i386
    fi
  done
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
