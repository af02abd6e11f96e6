# Sourced by scripts/wdk-check and scripts/wdk-analyze: where the kit checker lives, the driver's
# sources and its method signature, all as CMakeLists.txt defines them, so that the two scripts
# and the host build compile the same files the same way. Expects to run from the repository root.

# The checker lives outside the repository: WDKCHECK_DIR if set, else ../shared/wdkcheck beside the
# clone, else the project machines' shared folder (/work/shared/wdkcheck), so that a clone made
# anywhere on such a machine still finds it. Sets checker_dir; returns 1 when there is none.
find_kit_checker() {
  checker_dir=${WDKCHECK_DIR:-}
  if [ -z "$checker_dir" ]; then
    checker_dir=$PWD/../shared/wdkcheck
    [ -f "$checker_dir/check.sh" ] || [ ! -f /work/shared/wdkcheck/check.sh ] || checker_dir=/work/shared/wdkcheck
  fi
  [ -f "$checker_dir/check.sh" ]
}

# Sets signature and sources (an array) from CMakeLists.txt; returns 1 when either is missing.
read_driver_build() {
  signature=$(sed -n 's/^set(FWRELAY_METHOD_SIGNATURE "\([^"]*\)".*/\1/p' CMakeLists.txt)
  local patterns pattern f
  read -r -a patterns <<<"$(awk '/file\(GLOB FWRELAY_DRIVER_SOURCES/ { on = 1 }
    on { line = line " " $0 } on && /\)/ { print line; exit }' CMakeLists.txt |
    sed -e 's/.*FWRELAY_DRIVER_SOURCES//' -e 's/CONFIGURE_DEPENDS//' -e 's/)//')"
  sources=()
  for pattern in "${patterns[@]}"; do
    for f in $pattern; do
      [ -f "$f" ] && sources+=("$f")
    done
  done
  [ -n "$signature" ] && ((${#sources[@]}))
}
