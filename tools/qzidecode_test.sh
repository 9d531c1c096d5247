#!/usr/bin/env bash
# Runs qzidecode over the cases of a table, each in a fresh folder, and checks the exit
# status, the files afterwards and a fragment of the output.
#   qzidecode_test.sh QZIDECODE MAKE_SAMPLES CASES.tsv SHORT.bmp SEEDS_DIR [EMULATOR]
# EMULATOR (a cross build's qemu) runs both programs when given. The samples are what
# MAKE_SAMPLES makes, SHORT.bmp as short.bmp and the files of SEEDS_DIR.
# Table columns (tab-separated; '-' for an empty cell):
#   name; files before (NAME=SAMPLE copies a sample, NAME= is empty, NAME/ a folder,
#   NAME->TARGET a symbolic link; \xHH in a NAME is that byte); arguments (shell words,
#   redirections allowed); status; files after (NAME: a PNG, NAME:WxH: an 8-bit RGBA PNG of that
#   size, !NAME: absent); fragment of standard output and error together (!TEXT: must not
#   appear; json:TEXT: also every line of standard output parses as JSON).
# Every file present before and not named after must be unchanged, and no temporary file
# may be left behind.
set -uo pipefail
qzidecode=$(realpath "$1") make_samples=$2 cases=$3 short=$4 seeds=$5 emulator=${6:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/samples"
$emulator "$make_samples" "$work/samples" >/dev/null || { echo "make_samples failed"; exit 1; }
cp "$short" "$work/samples/short.bmp"
cp "$seeds"/* "$work/samples/"

failures=0
fail() {
  echo "FAIL [$name]: $*"
  failures=$((failures + 1))
}

# "WxH" of an 8-bit RGBA PNG, or nothing when the file is not one.
png_size() {
  [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || return 0
  local ihdr
  ihdr=$(head -c 26 "$1" | tail -c 10 | od -An -tu1 | tr -s ' ' | sed 's/^ //')
  set -- $ihdr
  [ "$9" = 8 ] && [ "${10}" = 6 ] || { echo "not-rgba8"; return 0; }
  echo "$(($1 << 24 | $2 << 16 | $3 << 8 | $4))x$(($5 << 24 | $6 << 16 | $7 << 8 | $8))"
}

while IFS=$'\t' read -r name before args status after fragment; do
  case "$name" in ''|'#'*) continue ;; esac
  dir="$work/case"
  rm -rf "$dir" && mkdir "$dir"
  declare -A sums=()
  for f in $before; do
    [ "$f" = - ] && continue
    f=$(printf '%b' "$f")
    case "$f" in
      */) mkdir -p "$dir/$f" ;;
      *'->'*) ln -s "${f#*->}" "$dir/${f%%->*}" ;;
      *=) mkdir -p "$(dirname "$dir/$f")"; : > "$dir/${f%=}" ;;
      *=*) mkdir -p "$(dirname "$dir/${f%%=*}")"; cp "$work/samples/${f#*=}" "$dir/${f%%=*}" ;;
    esac
    case "$f" in */|*'->'*) ;; *) sums[${f%%=*}]=$(cksum < "$dir/${f%%=*}") ;; esac
  done

  (cd "$dir" && eval "\$emulator \"\$qzidecode\" $args" >"$work/stdout" 2>"$work/stderr" </dev/null)
  rc=$?
  output=$(cat "$work/stdout" "$work/stderr")
  [ "$rc" = "$status" ] || fail "status $rc, expected $status; output: $output"

  for f in $after; do
    [ "$f" = - ] && continue
    case "$f" in
      '!'*) [ ! -e "$dir/${f#!}" ] || fail "${f#!} exists" ;;
      *)
        file=${f%%:*} size=$(png_size "$dir/${f%%:*}" 2>/dev/null)
        if [ -z "$size" ]; then
          fail "$file is not a PNG"
        elif [[ "$f" == *:* && "$size" != "${f#*:}" ]]; then
          fail "$file is $size, expected ${f#*:}"
        fi
        unset "sums[$file]"
        ;;
    esac
  done
  for f in "${!sums[@]}"; do
    [ "$(cksum < "$dir/$f")" = "${sums[$f]}" ] || fail "$f was written over"
  done
  unset sums
  leftovers=$(find "$dir" -name '.qzidecode-*')
  [ -z "$leftovers" ] || fail "temporary files left: $leftovers"

  case "$fragment" in
    -) ;;
    json:*)
      fragment=${fragment#json:}
      [[ "$output" == *"$fragment"* ]] || fail "output lacks '$fragment': $output"
      python3 -c 'import json, sys
for line in open(sys.argv[1], "rb"):
    json.loads(line.decode("utf-8"))' "$work/stdout" || fail "standard output is not JSON lines: $(cat "$work/stdout")"
      ;;
    '!'*) [[ "$output" != *"${fragment#!}"* ]] || fail "output contains '${fragment#!}': $output" ;;
    *) [[ "$output" == *"$fragment"* ]] || fail "output lacks '$fragment': $output" ;;
  esac
done < "$cases"

[ "$failures" -eq 0 ] || exit 1
echo "qzidecode: every case passed"
