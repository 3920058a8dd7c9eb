// qvdbx auth: signing in to Dropbox (OAuth 2 code grant with PKCE, no redirect) and
// signing out (--revoke). It writes and deletes the saved settings itself.
#pragma once

#include "faces/faces.h"

int cmd_auth(Host &h, const Face &face);
