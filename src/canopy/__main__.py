"""A tour of canopy: `python -m canopy`."""

import importlib
import pkgutil

import canopy


def main() -> None:
    print("canopy: tree ensembles in native code")
    print("classes:", ", ".join(canopy._rs.__all__))
    sections = sorted(
        m.name for m in pkgutil.iter_modules(canopy.__path__) if m.name.startswith("_demo_")
    )
    for name in sections:
        module = importlib.import_module(f"canopy.{name}")
        print()
        module.run()


if __name__ == "__main__":
    main()
