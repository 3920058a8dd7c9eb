"""The official Dropbox Python SDK as a peer of qvdbx (bench/peers.sh), doing what qvdbx does:

    python3 peer_python.py ORIGIN ls FOLDER         the items document of the whole folder
    python3 peer_python.py ORIGIN playlist FOLDER   the folder's playlist with fresh links

Both print to stdout exactly what `qvdbx --live ls --json` and `qvdbx --live playlist`
print (the playlist's expiry time aside). The access token comes from
DROPBOX_ACCESS_TOKEN. The SDK is used as shipped; its requests session carries a
transport adapter that sends every request to ORIGIN instead of Dropbox's hosts.
"""
import json
import os
import sys
import time
import urllib.parse

import dropbox
import requests

PLAYABLE = {"mp3", "flac", "ogg", "oga", "opus", "m4a", "aac", "wav", "aiff", "aif", "alac", "wma",
            "wv", "ape", "mka", "mp4", "m4v", "mkv", "webm", "mov", "avi"}
LINK_LIFE_S = 4 * 3600


class OriginAdapter(requests.adapters.HTTPAdapter):
    """Sends each request to `origin`, keeping its path and query."""

    def __init__(self, origin):
        super().__init__()
        self.origin = urllib.parse.urlsplit(origin)

    def send(self, request, **kwargs):
        url = urllib.parse.urlsplit(request.url)
        request.url = url._replace(scheme=self.origin.scheme, netloc=self.origin.netloc).geturl()
        return super().send(request, **kwargs)


def client(origin):
    session = requests.Session()
    session.mount("https://", OriginAdapter(origin))
    return dropbox.Dropbox(oauth2_access_token=os.environ["DROPBOX_ACCESS_TOKEN"], session=session)


def item(meta):
    """The items document's six members of a live entry, by the module's rules."""
    folder = isinstance(meta, dropbox.files.FolderMetadata)
    out = {"name": meta.name,
           "path": meta.id if meta.id.startswith("id:") else "id:" + meta.id,
           "folder": folder,
           "size": meta.size if not folder and meta.size >= 0 else -1,
           "id": meta.id}
    if meta.path_display is not None:
        out["path_display"] = meta.path_display
    return out


def listing(dbx, folder):
    """The items of the whole folder, page after page; deleted entries left out."""
    items = []
    page = dbx.files_list_folder(folder)
    while True:
        items.extend(item(meta) for meta in page.entries
                     if not isinstance(meta, dropbox.files.DeletedMetadata))
        if not page.has_more:
            return items
        page = dbx.files_list_folder_continue(page.cursor)


def is_playable(name):
    stem, dot, ext = name.rpartition(".")
    return bool(dot and stem) and ext.encode().lower().decode() in PLAYABLE


def playlist(dbx, folder):
    files = [i for i in listing(dbx, folder) if not i["folder"] and is_playable(i["name"])]
    # By name, ASCII letter case aside, ties by the bytes: as qvdbx sorts.
    files.sort(key=lambda i: (i["name"].encode().lower(), i["name"].encode()))
    made = time.time()
    lines = ["#EXTM3U", "# the links expire at %s (4 hours after they were made)"
             % time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(made + LINK_LIFE_S))]
    for f in files:
        lines += ["#EXTINF:-1," + f["name"], dbx.files_get_temporary_link(f["path"]).link]
    return "\n".join(lines) + "\n"


def main():
    origin, command, folder = sys.argv[1:4]
    dbx = client(origin)
    if command == "ls":
        text = json.dumps({"items": listing(dbx, folder)}, ensure_ascii=False, separators=(",", ":")) + "\n"
    else:
        text = playlist(dbx, folder)
    sys.stdout.buffer.write(text.encode())


if __name__ == "__main__":
    main()
