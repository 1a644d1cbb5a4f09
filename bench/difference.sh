# Sourced by bench/arm64-count.sh and bench/predict-check.sh, which count a copy of a small corpus
# and of a big one of the same kind and keep the difference, so that start-up, the dynamic loader
# and the last partial blocks drop out. Both set dir, small and big (bytes), and the arrays gen and
# plain, the commands that run the corpus generator and the plain converter.

# corpora KIND: the kind's two corpora in dir, generated unless they are there, and the plain
# converter's copy of each beside it (CORPUS.plain); sets bytes to the difference of their sizes.
corpora() {
    local corpus size
    for size in $small $big; do
        corpus=$dir/$1-$size.txt
        if [ ! -s "$corpus" ]; then
            "${gen[@]}" "$1" "$size" "$corpus.part" && mv "$corpus.part" "$corpus"
        fi
        "${plain[@]}" "$corpus" >"$corpus.plain"
    done
    bytes=$(($(stat -c %s "$dir/$1-$big.txt") - $(stat -c %s "$dir/$1-$small.txt")))
}

# per_mb LOW HIGH: the counts of the big corpus less those of the small one, each column per MB
# (10^6 bytes) of the difference of their sizes.
per_mb() {
    local low high i line=
    read -r -a low <<<"$1"
    read -r -a high <<<"$2"
    for i in "${!low[@]}"; do line+=" $(((high[i] - low[i]) * 1000000 / bytes))"; done
    echo "${line# }"
}
