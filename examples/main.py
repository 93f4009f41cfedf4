"""The main job: import tessara and show what it offers."""

import tessara


def main() -> None:
    print("tessara exports:", ", ".join(tessara.__all__))
    for name in tessara.__all__:
        obj = getattr(tessara, name)
        signature = getattr(obj, "__text_signature__", None)
        print(f"  {name}{signature or ''}: {obj!r}")
    print("Decoder():", repr(tessara.Decoder()))
    print('Encoder("RGBA", quality=92.5):', repr(tessara.Encoder("RGBA", quality=92.5)))


if __name__ == "__main__":
    main()
