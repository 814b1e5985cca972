#!/usr/bin/env bash
# Fails when a file in src/ includes the header of a module that is not below
# its own. The modules, from the top down (docs/architecture.md explains them):
#   main > engine > task > ocsp > listener, ocsp_client > pump > channel > credentials > tls_setup, identity, key_cost
#   > protocol, access > poller, offload > log > log_format > platform
set -euo pipefail
cd "$(dirname "$0")/.."
levels=(platform log_format log "poller offload" "protocol access" "tls_setup identity key_cost" credentials channel pump "listener ocsp_client" ocsp task engine main)
declare -A rank
for i in "${!levels[@]}"; do
  for module in ${levels[$i]}; do rank[$module]=$i; done
done
status=0
for file in src/*.h src/*.cpp; do
  module=$(basename "${file%.*}")
  if [ -z "${rank[$module]:-}" ]; then
    echo "$file: the module $module has no place in the layers" >&2
    status=1
    continue
  fi
  for header in $(sed -n 's/^#include "\([a-z_]*\)\.h".*/\1/p' "$file"); do
    [ "$header" = "$module" ] && continue
    if [ -z "${rank[$header]:-}" ] || [ "${rank[$header]}" -ge "${rank[$module]}" ]; then
      echo "$file: $module includes $header.h, which is not below it" >&2
      status=1
    fi
  done
done
exit $status
