// qvdbx serve [FOLDER]: a small HTTP server on the user's machine that gives every file
// under FOLDER a URL that never expires, answered with a redirect to a fresh stream link,
// and every folder a page, a playlist and an items document. Built where libmicrohttpd is
// found; elsewhere the command says it is not in the build.
#pragma once

#include "faces.h"

int cmd_serve(Host &h, const Face &face);
