// Every message text of the initialisation file reader and the gate address
// parser, in one place. The texts are the system's own, misspellings and all.
#pragma once

namespace orvtiw::msg {

// Initialisation file.
inline constexpr char kInvalidApplicationId[] = "ORV%02d: TIW: Invalid Application Id (%c) in region defination";
inline constexpr char kInvalidTt[] = "ORV%02d: TIW: Invalid TT (PLC Region ID (%c%c) in region defination";
inline constexpr char kInvalidElementSizeChar[] = "ORV%02d: TIW: Invalid Real Element Size (%c) in region defination";
inline constexpr char kAssumingSingleMultiple[] = "ORV%02d: TIW: Assuming single multiple for Data Region %c";
inline constexpr char kInvalidSeparator[] = "ORV%02d: TIW: Invalid field seperator in region defination";
inline constexpr char kInvalidElementSize[] = "ORV%02d: TIW: Invalid Real element size %c in region defination";
inline constexpr char kInvalidMultiple[] = "ORV%02d: TIW: Invalid Multiple %c in region defination";
inline constexpr char kMultipleOnlyInWords[] =
    "ORV%02d: TIW: Multiple elements only allowed in two byte (word) regions";
inline constexpr char kDuplicateRegion[] = "ORV%02d: TIW: Duplicate region id %c";

// Gate address parser.
inline constexpr char kParserEntered[] = "ORV%02d: TIW: SingleAddressParser funtcion entered";
inline constexpr char kInvalidCharOrLength[] = "ORV%02d: TIW: Invalid character or length in gate address string";
inline constexpr char kAddressInvalid[] = "ORV%02d: TIW: Address \"%s\" is invalid";
inline constexpr char kStringGates[] = "ORV%02d: TIW: String gates not supported";
inline constexpr char kIllegalPlcAddress[] = "ORV%02d: TIW: Illegal PLC Address in gate address string";
inline constexpr char kInvalidDataRegion[] = "ORV%02d: TIW: Tiw-parse Invalid Data Region Id (%c)";
inline constexpr char kElementZero[] = "ORV%02d: TIW: Element number must be greater then zero";
inline constexpr char kOnlyDigitalInDiscrete[] =
    "ORV%02d: TIW: Only digital gates allowed in single byte (discrete) regions";
inline constexpr char kNoBitInDiscrete[] = "ORV%02d: TIW: Bit number not allowed in single byte (discrete) regions";
inline constexpr char kDigitalWithBit[] = "ORV%02d: TIW: Must be digital gate if bit number specified";
inline constexpr char kSigned16WithoutBit[] =
    "ORV%02d: TIW: Must be (un)signed16 if no bit in 16 bit region single element";
inline constexpr char kNoBitInDouble[] = "ORV%02d: TIW: Bits not allowed in 16 bit region with double element";
inline constexpr char kThirtyTwoInDouble[] = "ORV%02d: TIW: Must use 32-bit value in 16 bit region with double element";
inline constexpr char kNoBitIn32[] = "ORV%02d: TIW: Bit number not allowed in 32-bit regions";
inline constexpr char kFloatOr32In32[] = "ORV%02d: TIW: Must be float or (un)signed32 in 32-Bit regions";
inline constexpr char kBlockTooBig[] = "ORV%02d: TIW: Block size exceed maximum message size";

} // namespace orvtiw::msg
