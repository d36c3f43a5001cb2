#!/usr/bin/env bash
# Makes the image and checksum table of a vendor-like next firmware from a vendor-like image: one
# byte raised in every page from page 3 on, so that the first three pages keep their sums and the
# rest differ, and a table that lists what the pages now sum to, the way a vendor's would.
#   tests/support/next-release-image.sh IMAGE OUT-IMAGE OUT-TABLE
set -euo pipefail
[[ $# -eq 3 ]] || { echo "usage: tests/support/next-release-image.sh IMAGE OUT-IMAGE OUT-TABLE" >&2; exit 2; }
perl -e '
    my ($in, $out, $table) = @ARGV;
    local $/; open my $f, "<:raw", $in or die "$in: $!\n"; my $d = <$f>; close $f;
    my $pages = length($d) / 512;
    for my $page (3 .. $pages - 1) {
        my $i = $page * 512;
        $i++ while vec($d, $i, 8) == 255;
        vec($d, $i, 8) += 1;
    }
    open my $o, ">:raw", $out or die "$out: $!\n"; print $o $d; close $o;
    open my $t, ">", $table or die "$table: $!\n";
    print $t "# Page checksums of the next firmware: entry p belongs to page p.\n";
    for my $page (0 .. $pages - 1) {
        my $sum = unpack "%32C*", substr($d, $page * 512, 512);
        printf $t "0x%04X%s", $sum, ($page % 4 == 3 || $page == $pages - 1) ? sprintf("  # to page %d\n", $page) : " ";
    }
    close $t;' "$@"
