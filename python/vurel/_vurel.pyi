from typing import SupportsFloat, SupportsIndex, final, overload

__all__: list[str]

@final
class Model:
    """A loaded pronunciation model, bound to the thread that created it."""

    def __new__(cls, path: str, delim: str = "") -> Model: ...
    def phoneticize(self, word: str) -> list[str]:
        """Returns the top-1 path's phoneme strings."""
    def phoneticize_paths(
        self,
        word: str,
        nbest: SupportsIndex = 1,
        beam: SupportsIndex = 10000,
        threshold: SupportsFloat | SupportsIndex = 99.0,
        write_fsts: bool = False,
        accumulate: bool = False,
        pmass: SupportsFloat | SupportsIndex = 99.0,
    ) -> list[PathData]:
        """Returns the n best paths as a list of `PathData`,
        each with `path_weight`, `path_weights`, `ilabels`, `olabels`, `uniques`."""
    def phoneticize_sampling(
        self,
        word: str,
        nbest: SupportsIndex = 1,
        beam: SupportsIndex = 10000,
        threshold: SupportsFloat | SupportsIndex = 99.0,
        pmass: SupportsFloat | SupportsIndex = 99.0,
    ) -> list[list[str]]:
        """Convenience over `phoneticize_paths`: returns each path's phoneme
        strings (already cluster-decomposed and veto-filtered) instead of
        raw `PathData`."""
    @overload
    def find_isym(self, key: str) -> int | None:
        """Look up an input symbol by name or ID. Mirrors `FindIsym` overloads."""
    @overload
    def find_isym(self, key: int) -> str | None: ...
    @overload
    def find_osym(self, key: str) -> int | None:
        """Look up an output symbol by name or ID. Mirrors `FindOsym` overloads."""
    @overload
    def find_osym(self, key: int) -> str | None: ...

@final
class PathData:
    """One decoded path; made only by `Model.phoneticize_paths`."""

    @property
    def path_weight(self) -> float: ...
    @property
    def path_weights(self) -> list[float]: ...
    @property
    def ilabels(self) -> list[int]: ...
    @property
    def olabels(self) -> list[int]: ...
    @property
    def uniques(self) -> list[int]: ...
