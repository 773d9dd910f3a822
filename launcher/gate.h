// The game-files gate: the launcher's first step after entering its own folder.
#pragma once

// 1 when "game\default.xbe" is in place (imported now if needed) and verified, or the check
// is switched off by RECOMP_SKIP_XBE_CHECK; 0 when the launcher must quit (the player
// declined, or the executable is not the supported build; the player was told).
int ensure_game_files();

// 1 when the launcher can make "game" and write files in its folder (the current one), tried
// with a file that does not stay; otherwise the player is told which folder, and 0.
int ensure_folder_writable();
