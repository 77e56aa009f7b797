"""Stand-in for quorvel.platform: the chip classes of the platform catalogue
that the port map tests a chip against, under their own names."""

from skorrel import (TomahawkTwoChip, TomahawkTwo_56970_Chip, TridentThreeX5Chip,
                     TridentThreeX5_56771_Chip, TridentThreeX7Chip, TridentThreeX7_56870_Chip,
                     TridentThreeX7_56873_Chip)

__all__ = ["TridentThreeX7Chip", "TridentThreeX7_56870_Chip", "TridentThreeX7_56873_Chip",
           "TridentThreeX5Chip", "TridentThreeX5_56771_Chip", "TomahawkTwoChip",
           "TomahawkTwo_56970_Chip"]
