# Sourced by the setup scripts. The torch the test suite runs against: a CPU
# build this machine holds. The published extras name no exact version, so
# the scripts that install the test extra name this one beside it.
VAKRA_TORCH_PIN="torch==2.13.0"
