start_pattern
number_of_lines 3
parameters name line_type area frequency gauss_width zero_phase lorentz_width
NAA voigt 2.0 120.0 inf 10.0 4.0
Cr lorentz 1.5 200.0 0.0 -20.0 6.0
Cho gauss 1.0 260.0 8.35 0.0 0.0
end_of_pattern
