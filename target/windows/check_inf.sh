#!/usr/bin/env bash
# Checks what can be checked of an INF without the platform's tools: every %token% is defined in
# [Strings] (numbers are directory ids), and every section the INF names exists: models, install
# and service sections, file lists, registry sections.
#
#   check_inf.sh KxBusIdd.inf
set -euo pipefail
export LC_ALL=C
INF=$1

# Lines without comments (outside quotes, which this INF does not nest) and with trailing blanks cut.
clean() {
  sed -e 's/\r$//' -e 's/[[:space:]]*;.*$//' -e 's/[[:space:]]*$//' "$INF" | grep -v '^$'
}

sections=$(clean | sed -n 's/^\[\(.*\)\]$/\1/p' | tr 'A-Z' 'a-z')
strings=$(clean | awk '/^\[/ { in_strings = tolower($0) == "[strings]"; next }
                      in_strings { sub(/[[:space:]]*=.*/, ""); print tolower($0) }')

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Every %token% outside [Strings].
tokens=$(clean | awk '/^\[/ { in_strings = tolower($0) == "[strings]"; next } !in_strings' |
  grep -o '%[^%]*%' | tr -d '%' | tr 'A-Z' 'a-z' | sort -u)
for token in $tokens; do
  [[ $token =~ ^[0-9]+$ ]] && continue
  grep -qxF "$token" <<<"$strings" || fail "%$token% is not defined in [Strings]"
done

section_exists() {
  grep -qxF "$(tr 'A-Z' 'a-z' <<<"$1")" <<<"$sections"
}

# name = value lines of one section, as "name<TAB>value".
entries() {
  clean | awk -v want="$(tr 'A-Z' 'a-z' <<<"$1")" '
    /^\[/ { current = tolower(substr($0, 2, length($0) - 2)); next }
    current == want && index($0, "=") {
      name = substr($0, 1, index($0, "=") - 1); value = substr($0, index($0, "=") + 1)
      gsub(/^[[:space:]]+|[[:space:]]+$/, "", name); gsub(/^[[:space:]]+|[[:space:]]+$/, "", value)
      print name "\t" value
    }'
}

# [Manufacturer]: "models, decoration..." names a models section per decoration.
while IFS=$'\t' read -r _ value; do
  IFS=',' read -ra parts <<<"$value"
  models=$(xargs <<<"${parts[0]}")
  for decoration in "${parts[@]:1}"; do
    decoration=$(xargs <<<"$decoration")
    section_exists "$models.$decoration" || fail "models section [$models.$decoration] is missing"
    while IFS=$'\t' read -r _ entry; do
      install=$(xargs <<<"${entry%%,*}")
      section_exists "$install.NT" || section_exists "$install" ||
        fail "install section [$install] or [$install.NT] is missing"
    done < <(entries "$models.$decoration")
  done
done < <(entries Manufacturer)

# Directives naming other sections, wherever they appear.
while IFS=$'\t' read -r name value; do
  case "$(tr 'A-Z' 'a-z' <<<"$name")" in
    copyfiles | addreg | delreg)
      IFS=',' read -ra targets <<<"$value"
      for target in "${targets[@]}"; do
        target=$(xargs <<<"$target")
        section_exists "$target" || fail "$name names [$target], which is missing"
      done
      ;;
    addservice)
      target=$(awk -F',' '{ print $3 }' <<<"$value" | xargs)
      section_exists "$target" || fail "AddService names [$target], which is missing"
      ;;
  esac
done < <(for section in $sections; do entries "$section"; done)

# [InterfaceInstall32]: each class names its install section.
while IFS=$'\t' read -r guid value; do
  target=$(xargs <<<"${value%%,*}")
  section_exists "$target" || fail "interface class $guid names [$target], which is missing"
done < <(entries InterfaceInstall32)

if [ "$failures" -ne 0 ]; then
  echo "$(basename "$INF"): $failures problem(s)"
  exit 1
fi
echo "$(basename "$INF"): tokens defined, sections present"
