#!/usr/bin/env bash
# Makes sure the build's system prerequisites are there: a C++ compiler and
# OpenSSL's libcrypto headers. On Debian as root it installs what is missing;
# elsewhere it names the package to install and stops. The tests want two
# more: the openssl command (keys and signatures made by another tool) and
# SoftHSM2 (a PKCS#11 token to sign in). They are installed the same way when
# they can be, and otherwise only named, as the tests that use them skip
# without them.
set -euo pipefail

# PostgreSQL: the tests of a history shared by a line's stations start a
# throwaway server (initdb, pg_ctl), run by the unprivileged "postgres" user
# that the Debian package creates when the tests run as root. Only wanted:
# without it those tests are skipped.
if ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 && ! command -v initdb >/dev/null 2>&1
then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing postgresql with apt-get (for the shared-history tests)" >&2
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
           apt-get install -y -qq postgresql >&2; }; then
      echo "note: could not install postgresql; the PostgreSQL history tests will be skipped" >&2
    fi
  else
    echo "note: no PostgreSQL server (initdb); the PostgreSQL history tests will be skipped" \
         "(Debian/Ubuntu: apt-get install postgresql)" >&2
  fi
fi

missing=()
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing+=(g++)
if ! printf '#include <openssl/evp.h>\nint main(){return 0;}\n' \
     | c++ -x c++ -fsyntax-only - >/dev/null 2>&1; then
  missing+=(libssl-dev)
fi
wanted=()
command -v openssl >/dev/null 2>&1 || wanted+=(openssl)
command -v softhsm2-util >/dev/null 2>&1 || wanted+=(softhsm2)
[ ${#missing[@]} -eq 0 ] && [ ${#wanted[@]} -eq 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing ${missing[*]} ${wanted[*]} with apt-get" >&2
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq  # (set -e: a failure stops here, not in the build)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
  fi
  # Only wanted: a failure here leaves the build as it is (the tests skip).
  if [ ${#wanted[@]} -gt 0 ] && ! { apt-get update -qq &&
       DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${wanted[@]}" >&2; }; then
    echo "note: could not install ${wanted[*]}; the tests that need it will be skipped" >&2
  fi
  exit 0
fi
if [ ${#wanted[@]} -gt 0 ]; then
  echo "note: the tests that need ${wanted[*]} will be skipped (install ${wanted[*]})" >&2
fi
[ ${#missing[@]} -eq 0 ] && exit 0
echo "missing build prerequisites: install ${missing[*]} (Debian/Ubuntu: apt-get install ${missing[*]})" >&2
exit 1
