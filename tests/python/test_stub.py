# The type stub describes the module as it is: the same public names, on the module and on
# its classes, so that editors complete and check what exists.
import ast
import pathlib

import halvexcam

STUB = pathlib.Path(halvexcam.__file__).with_name("halvexcam.pyi")


def _public(names):
    return {n for n in names if not n.startswith("_")}


def test_stub_and_module_name_the_same_things():
    tree = ast.parse(STUB.read_text())
    module_names, class_names = set(), {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            module_names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            module_names.add(node.target.id)
        if isinstance(node, ast.ClassDef):
            members = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    members.add(item.target.id)
            class_names[node.name] = members
    assert _public(module_names) == _public(dir(halvexcam)) - {"annotations"}
    for cls in ("Camera", "Frame"):
        declared = _public(class_names[cls])
        actual = _public(vars(getattr(halvexcam, cls)))
        assert declared == actual, cls
    for cls in ("CameraError", "CameraNotFoundError", "FrameTimeoutError", "NotSupportedError"):
        assert issubclass(getattr(halvexcam, cls), halvexcam.CameraError)
