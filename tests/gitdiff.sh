#!/bin/sh
# SPDX-License-Identifier: MIT
# git diff of prose, set up as the README says, shows the changed sentences.
# Usage: gitdiff.sh DIR, where DIR holds the sentbreak to run.
command -v git >/dev/null || { echo "git is missing: skipped"; exit 77; }
PATH=$1:$PATH
repo=$(mktemp -d) && trap 'rm -rf "$repo"' EXIT && cd "$repo" || exit 1
git init -q . && git config user.name test && git config user.email test@test
git config diff.sent.textconv "sh -c 'sentbreak < \"\$0\"'"
echo '*.txt diff=sent' >> .gitattributes
printf 'It rained all day. We stayed in and read.\nThe roof held.\n' > notes.txt
git add . && git commit -q -m paragraph || exit 1
printf 'It rained all night. We stayed in and read.\nThe roof held. By morning the sky was clear.\n' > notes.txt
got=$(git diff | grep -E '^[-+]' | grep -vE '^(---|\+\+\+) ') || exit 1
want='-It rained all day.
+It rained all night.
+By morning the sky was clear.'
[ "$got" = "$want" ] || { git diff; exit 1; }
