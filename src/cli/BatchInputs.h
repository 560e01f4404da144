// The image pairs of a batch: read from a list file (CSV) or found by a glob
// with a pattern that names each image's label file, and checked to exist
// before any work starts.
#pragma once

#include <string>
#include <vector>

namespace regionfeat {

struct ImagePair {
    std::string image, labels;
};

// A list file in CSV: a header row naming the columns "image" and "labels"
// (any order, other columns ignored, names compared after trimming blanks and
// without regard to case), then one pair per row. Fields may be quoted as
// spreadsheets write them ("a,b", "say ""x""", line breaks inside quotes);
// CRLF or LF line ends; a UTF-8 byte-order mark is ignored. Blank lines, and
// rows whose every field is empty (spreadsheets export those as ",,"), are
// skipped. Blanks around an unquoted field are trimmed; a quoted field is
// taken as it stands. Relative paths are taken relative to the list file's
// directory (a list in the current directory leaves them as written).
//
// Throws UsageError "<list>:<line>: <what is wrong>" (missing or repeated
// column, too few fields, empty path, unterminated quote, text after a
// closing quote, a NUL byte, a pair listed twice), "<list>: ..." for a list
// that cannot be read or holds no pair.
//
// The same pair (image and labels, compared as paths after resolution and
// lexical normalisation) listed twice is refused: it would give every row of
// that image twice, which a table meant for statistics never wants, and it is
// almost always a copy-and-paste slip. One image with two different label
// files is allowed (two segmentations of one image), and so is an image used
// as another pair's labels.
std::vector<ImagePair> ReadPairList(const std::string& listPath);

// The files matching imageGlob (glob(3) syntax; sorted bytewise by path, so
// the order does not depend on the locale; directories skipped), each with
// the label file named by labelPattern, in which {dir} (the image's
// directory, "." for none), {name} (its file name), {stem} (the name without
// the last extension) and {ext} (the last extension with its dot, or empty)
// are replaced; "{{" and "}}" are literal braces. A name's leading dot does
// not start an extension (".a" has stem ".a", no extension). A pattern
// without {dir} is relative to the current directory, not the image's.
//
// A glob such as "data/*.tif" with the pattern "{dir}/{stem}_labels{ext}"
// also matches the label files themselves. So a matched file that is the
// label file of another matched image and has no label file of its own is
// taken as a label file and not as an image; every other matched file stays.
//
// Throws UsageError when nothing matches, when the pattern has an unknown
// placeholder, an unpaired brace or no placeholder at all (every image would
// get the same label file), or when an image's label file would be the image
// itself.
std::vector<ImagePair> PairsFromGlob(const std::string& imageGlob, const std::string& labelPattern);

// Checks before any work that every file named exists and is a regular file
// (one stat per distinct path); throws UsageError naming the first one that is
// not and, when there are more, how many in all: "labels 'a_labels.tif' of
// image 'a.tif' does not exist (3 files missing)".
void CheckPairsExist(const std::vector<ImagePair>& pairs);

}  // namespace regionfeat
