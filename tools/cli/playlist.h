// qvdbx playlist FOLDER: an extended M3U of the folder's playable files with their
// stream links, for a player that takes a whole album at once.
#pragma once

#include "faces/faces.h"

int cmd_playlist(Host &h, const Face &face);
