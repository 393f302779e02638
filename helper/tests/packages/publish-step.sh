#!/usr/bin/env bash
# A packaging pipeline's last step before it publishes: sign the package and
# run the helper's own checks on it. Any refusal (or, with --strict, any
# warning) stops the pipeline before the package reaches a customer.
#
#   publish-step.sh PACKAGE.msi INSTALLED-VERSION
#
# Environment:
#   LUMAR_UPDATER_KEY   path of the minisign secret key (a CI secret file,
#                       made unprotected with `minisign -W` for the CI only)
#   LUMAR_UPDATER_PUB   path of its public key, the one the helper is built with
#   LUMAR_RELEASE_CHECK the lumar-release-check program (default: from PATH)
set -euo pipefail

package="$1"
installed="$2"
check="${LUMAR_RELEASE_CHECK:-lumar-release-check}"

minisign -S -s "$LUMAR_UPDATER_KEY" -m "$package" -x "$package.minisig" </dev/null
if ! "$check" "$package" "$package.minisig" --key "$LUMAR_UPDATER_PUB" \
     --installed "$installed" --strict; then
  echo "publish-step: $package must not be published" >&2
  exit 1
fi
echo "publish-step: $package may be published"
