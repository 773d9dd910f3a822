// Images built to make a lister spend memory: what a hostile player could hand the import.
#pragma once

#include "image_writer.h"

// The sample executable and 48 nested folders below "maps" whose tables each claim 64 MiB
// (the most a table may claim), 64 MiB apart so that none overlaps another: a sparse image of
// 3.3 GB. Reading each table whole costs 3 GB.
disc_image claiming_tables_image();

// The sample executable, then "maps" and `nest` nested folders of `name_len`-byte names, then
// `tables` folders of 3,364 empty files each (two-byte names, the densest a table holds:
// 16 bytes a node). With 46 levels of 255-byte names and 39 tables (131,196 files), 2.2 MB of
// tables carry 1.5 GB of relative paths; 195 tables, 10.6 MB of them, carry 7.6 GB.
disc_image crowded_image(int nest, size_t name_len, int tables);
