# Writes `size` bytes of generated prose: sentences of words drawn from a
# made-up vocabulary with the skewed word frequencies of natural language, so
# that xz packs it to about a fifth, as it does real text, and a decoder has
# real work per byte (the numbered lines of `text` pack to a twentieth).
# Deterministic on any awk: its own Park-Miller generator, whose products stay
# below 2^53 and so are exact in awk's doubles.
#   awk -v size=BYTES -f gen-text.awk >FILE
function next_random() {
    seed = (seed * 16807) % 2147483647
    return seed
}

BEGIN {
    seed = 20240601
    vocabulary = 6000
    split("ka re mi to su na lo pe vi da che an or el is tha ing ter un ber pro com", syl, " ")
    for (k = 1; k <= vocabulary; k++) {
        n = 1 + next_random() % 3 + (k > 200 ? 1 : 0)
        w = ""
        for (j = 0; j < n; j++)
            w = w syl[1 + next_random() % 22]
        word[k] = w
    }
    # A lookup table that draws word k with a weight of 1/k (Zipf's law):
    # one table read per word instead of a search.
    slots = 65536
    for (k = 1; k <= vocabulary; k++)
        total += 1 / k
    k = 1
    acc = 1 / total
    for (i = 0; i < slots; i++) {
        while ((i + 0.5) / slots > acc && k < vocabulary) {
            k++
            acc += 1 / k / total
        }
        table[i] = k
    }

    written = 0
    while (written < size) {
        line = ""
        sentences = 1 + next_random() % 4
        for (s = 0; s < sentences; s++) {
            words = 4 + next_random() % 14
            w = word[table[next_random() % slots]]
            sentence = toupper(substr(w, 1, 1)) substr(w, 2)
            for (j = 1; j < words; j++)
                sentence = sentence (next_random() % 11 == 0 ? ", " : " ") word[table[next_random() % slots]]
            line = line (s ? " " : "") sentence "."
        }
        print line
        written += length(line) + 1
    }
}
