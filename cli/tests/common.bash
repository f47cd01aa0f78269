# Shared by the nyx-nftl tests: the tool under test, a scratch directory
# removed at exit, and assertions that name what failed.
set -u
NYX="${1:?usage: $0 path/to/nyx-nftl}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_rc CODE command...: runs the command, its stdout and stderr kept in
# out.txt and err.txt, and checks its exit code.
expect_rc() {
  local want="$1"
  shift
  "$@" >out.txt 2>err.txt
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "--- stdout" >&2; cat out.txt >&2
    echo "--- stderr" >&2; cat err.txt >&2
    fail "'$*' exited $got, expected $want"
  fi
}

# expect_cmd CODE TEXT command...: the command exits with CODE and says
# TEXT: on stdout when it succeeds, on stderr when it fails.
expect_cmd() {
  local code="$1" text="$2"
  shift 2
  expect_rc "$code" "$@"
  [ "$code" = 0 ] && expect_out "$text" || expect_err "$text"
}

# expect_err TEXT: the last command's stderr contains TEXT.
expect_err() {
  grep -qF -- "$1" err.txt || { cat err.txt >&2; fail "stderr lacks '$1'"; }
}

# expect_out TEXT: the last command's stdout contains TEXT.
expect_out() {
  grep -qF -- "$1" out.txt || { cat out.txt >&2; fail "stdout lacks '$1'"; }
}

hash_of() { sha256sum "$1" | cut -d' ' -f1; }

# expect_unchanged FILE HASH WHAT
expect_unchanged() {
  [ "$(hash_of "$1")" = "$2" ] || fail "$3 changed $1"
}
