"""A tour of canopy: `python -m canopy`."""

import importlib
import pkgutil

import canopy


def main() -> None:
    print(f"canopy {canopy.__name__}: native tree ensembles")
    print("classes:", ", ".join(canopy._rs.__all__))
    import canopy as pkg

    sections = sorted(
        m.name for m in pkgutil.iter_modules(pkg.__path__) if m.name.startswith("_demo_")
    )
    for name in sections:
        module = importlib.import_module(f"canopy.{name}")
        print()
        module.run()


if __name__ == "__main__":
    main()
