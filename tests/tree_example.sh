#!/bin/sh
# Runs the loop over a tree of files that README and the manual page show, exactly as written
# there, with the mirzet found first on PATH.
#   tree_example.sh SOURCE_DIR BIN_DIR
set -eu
src=$1
PATH=$(cd "$2" && pwd):$PATH
export PATH

# The lines between the two markers, without their indent and the shell prompt; the manual page's
# copy also loses its roff escapes.
from_readme=$(sed -n '/^<!-- tree example/,/^<!-- end of tree example/{/^<!--/d;s/^    //;s/^\$ //;p}' \
    "$src/README.md")
from_man=$(sed -n '/^\.\\" tree example/,/^\.\\" end of tree example/{/^\.\\"/d;s/^\$ //;s/\\-/-/g;s/\\(aq/'"'"'/g;p}' \
    "$src/man/mirzet.1")
[ -n "$from_readme" ] || { echo "no tree example in README.md"; exit 1; }
if [ "$from_readme" != "$from_man" ]; then
    printf 'README.md shows:\n%s\nthe manual page shows:\n%s\n' "$from_readme" "$from_man"
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p notes "notes/sub dir" want
printf 'a\r\nb\nlast' > notes/a.txt
printf 'one\r\ntwo\r\n\032junk\n' > "notes/sub dir/b c.txt"
printf '' > notes/empty.txt
printf 'x\ny\n' > notes/not-text.md
printf 'from an earlier run\r\n' > "notes/sub dir/old.dos.txt"
cp -R notes before

printf 'a\r\nb\r\nlast' > want/a
printf 'one\r\ntwo\r\n' > want/b
printf '' > want/empty

failed=0
expect_same() {  # expect_same FILE WANT
    if ! cmp -s "$1" "$2"; then
        echo "FAIL: $1 is not $2:"
        od -c "$1" || true
        failed=1
    fi
}
for run in first second; do
    status=0
    sh -c "$from_readme" || status=$?
    [ "$status" -eq 0 ] || { echo "FAIL: the $run run ended with $status"; failed=1; }
    expect_same notes/a.dos.txt want/a
    expect_same "notes/sub dir/b c.dos.txt" want/b
    expect_same notes/empty.dos.txt want/empty
    # The inputs, the other file and the earlier result are untouched, and nothing else appeared.
    for f in a.txt "sub dir/b c.txt" empty.txt not-text.md "sub dir/old.dos.txt"; do
        expect_same "notes/$f" "before/$f"
    done
    count=$(find notes -type f | wc -l)
    [ "$count" -eq 8 ] || { echo "FAIL: after the $run run notes/ holds:"; find notes; failed=1; }
done
[ "$failed" -eq 0 ] && echo "tree example: converted as shown"
exit "$failed"
