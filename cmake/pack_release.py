#!/usr/bin/env python3
"""Packs a folder into a release archive that depends on nothing but the
folder's contents and the given time.

    pack_release.py tar.gz|zip <folder> <archive> <seconds-since-1970>

The archive holds one top folder, named after the folder packed. Members
come in sorted order, each with the given time: in a .tar.gz as such, with
owner 0/0 and no user or group name, and a gzip header without a time or
file name; in a .zip as a DOS time in UTC, with no extra fields (no
extended time stamps, no Unix owner). Folders get mode 755, files 755 when
any execute bit is set and 644 otherwise, whatever the umask. The archive
is written under a temporary name and then renamed into place.
"""
import gzip
import os
import stat
import sys
import tarfile
import time
import zipfile

# zlib's highest level; the same zlib gives the same bytes.
LEVEL = 9


def members(folder):
    """The folder's entries as (archive name, path, is folder), sorted by
    name, the top folder first."""
    top = os.path.basename(os.path.normpath(folder))
    entries = [(top, folder, True)]
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(parent, name)
            if os.path.islink(path):
                sys.exit(f"pack_release.py: {path} is a symbolic link")
            relative = os.path.relpath(path, folder).replace(os.sep, "/")
            entries.append((f"{top}/{relative}", path, os.path.isdir(path)))
    # Sorted by path components: a folder's members follow it directly.
    return sorted(entries, key=lambda entry: entry[0].split("/"))


def mode_of(path, is_folder):
    if is_folder or os.stat(path).st_mode & 0o111:
        return 0o755
    return 0o644


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write_tar_gz(entries, output, epoch):
    # mtime=0: a gzip header without a time; an empty file name field.
    with gzip.GzipFile(filename="", mode="wb", fileobj=output,
                       compresslevel=LEVEL, mtime=0) as compressed:
        with tarfile.open(fileobj=compressed, mode="w",
                          format=tarfile.PAX_FORMAT) as archive:
            for name, path, is_folder in entries:
                info = tarfile.TarInfo(name)
                info.mtime = epoch
                info.mode = mode_of(path, is_folder)
                info.uid = info.gid = 0
                info.uname = info.gname = ""
                if is_folder:
                    info.type = tarfile.DIRTYPE
                    archive.addfile(info)
                else:
                    info.size = os.path.getsize(path)
                    with open(path, "rb") as file:
                        archive.addfile(info, file)


def write_zip(entries, output, epoch):
    # DOS times hold 1980 to 2107, in steps of two seconds.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(output, mode="w") as archive:
        for name, path, is_folder in entries:
            info = zipfile.ZipInfo(name + "/" if is_folder else name, date_time)
            info.create_system = 3  # Unix: the mode below is read as such
            if is_folder:
                info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10
                info.compress_type = zipfile.ZIP_STORED
                archive.writestr(info, b"")
            else:
                info.external_attr = (stat.S_IFREG | mode_of(path, False)) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, read(path), compresslevel=LEVEL)


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("tar.gz", "zip"):
        sys.exit(__doc__)
    kind, folder, archive, epoch = sys.argv[1:]
    entries = members(folder)
    temporary = archive + ".part"
    with open(temporary, "wb") as output:
        if kind == "tar.gz":
            write_tar_gz(entries, output, int(epoch))
        else:
            write_zip(entries, output, int(epoch))
    os.replace(temporary, archive)


if __name__ == "__main__":
    main()
