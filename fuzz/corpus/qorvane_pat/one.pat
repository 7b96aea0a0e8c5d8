start_pattern
number_of_lines 1
parameters name line_type area frequency gauss_width zero_phase lorentz_width
Glx lorentz 1.0 300.0 0.0 0.0 5.0
end_of_pattern
