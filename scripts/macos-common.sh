# Sourced (not run) by the scripts that use the real pasteboard and screen on macOS: keeping the
# user's general pasteboard safe around a run that replaces its contents, and what to tell a
# person whose terminal lacks Screen Recording. Written for macOS's bash 3.2.
#
# save_pasteboard TWIN saves every item and every type through TWIN (the built macos_pasteboard);
# restore_pasteboard, called from the script's EXIT trap, puts them back, also after a failure or
# Ctrl-C (with `trap 'exit 130' INT`); if that ever fails, it prints the saved file and the
# command that restores it. Nothing is restored unless the save succeeded.

saved_pasteboard=""
pasteboard_twin=""

save_pasteboard() {
  pasteboard_twin=$1
  local file
  file=$(mktemp -t morvane-saved-pasteboard) || return 1
  if ! "$pasteboard_twin" save "$file"; then
    rm -f "$file"
    return 1
  fi
  saved_pasteboard=$file
}

restore_pasteboard() {
  [ -n "$saved_pasteboard" ] || return 0
  if "$pasteboard_twin" restore "$saved_pasteboard" >/dev/null; then
    rm -f "$saved_pasteboard"
    echo "the general pasteboard is as it was before"
  else
    echo "could not restore the general pasteboard; its saved copy is $saved_pasteboard" >&2
    echo "(put it back with: $pasteboard_twin restore $saved_pasteboard)" >&2
  fi
  saved_pasteboard=""
}

# Screen Recording is granted by a person, to the app that runs the script, and takes effect
# once that app is reopened.
screen_recording_grant="Grant Screen Recording to the app that runs this script (System Settings > Privacy &
Security > Screen & System Audio Recording), quit and reopen that app, then run this again."
