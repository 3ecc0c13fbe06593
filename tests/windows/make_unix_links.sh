#!/bin/sh
# Lays out Unix symbolic links for the Windows tests under wine, in the folder
# $1, made afresh. No Windows program can make a link under wine, but wine
# shows a Unix link as what it leads to, and a link to a folder as a reparse
# point in listings: wine_links_test.cpp checks what the server makes of them.
set -eu
rm -rf "$1"
mkdir -p "$1"
cd "$1"
# A vault with links to a note inside it, and to a note and a folder outside.
mkdir -p walk/vault/real walk/outside
printf 'word inside' >walk/vault/real/r.md
printf 'word outside' >walk/outside/secret.md
ln -s real/r.md walk/vault/alias.md
ln -s ../outside/secret.md walk/vault/leak.md
ln -s ../outside walk/vault/linkdir
# A tree to remove, with links to a folder and a note outside it.
mkdir -p remove/tree/a remove/keep
printf 'keep me' >remove/keep/precious.md
printf 'x' >remove/tree/top.md
ln -s ../../keep remove/tree/a/to-keep
ln -s ../keep/precious.md remove/tree/file-link.md
