#!/usr/bin/env bash
# Turns the stand-in image in FILE into one that the build takes for a vendor's: one byte moved to
# its neighbour within a page, so that every page still sums to its table entry while the image is
# no longer the stand-in.
#   tests/support/vendor-like-image.sh FILE
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: tests/support/vendor-like-image.sh FILE" >&2; exit 2; }
perl -e '
    local $/; open my $f, "+<:raw", $ARGV[0] or die "$ARGV[0]: $!\n"; my $d = <$f>;
    for my $i (0 .. length($d) - 2) {
        next if ($i + 1) % 512 == 0;
        my ($a, $b) = unpack "C2", substr($d, $i, 2);
        next unless $a < 255 && $b > 0;
        substr($d, $i, 2) = pack "C2", $a + 1, $b - 1;
        seek $f, 0, 0; print $f $d; exit 0;
    }
    die "no byte pair to move\n";' "$1"
